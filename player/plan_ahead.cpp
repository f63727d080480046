// The plan ahead: the frames playing shows next, found by stepping from the
// frame shown one frame at a time as playing does, with the adaptation
// state each frame is made from, moved on by each frame's statistics as
// showing it moves it.
#include "session.h"

FrameKey KeyOf(const Session &session, const StepPlan &plan) {
  FrameKey key;
  key.number = plan.frame;
  key.position = plan.position;
  key.settings = session.settings;
  key.adapted[0] = session.adapted[0];
  key.adapted[1] = session.adapted[1];
  return key;
}

std::vector<FrameKey> PlanAhead(const Session &session, size_t count) {
  std::vector<FrameKey> plan;
  const MovieFile &movie = session.movie;
  PlayPoint point = {session.currentframe, session.position, session.playdir, session.autoplay};
  FrameKey key;
  key.settings = session.settings;
  key.adapted[0] = session.adapted[0];
  key.adapted[1] = session.adapted[1];
  while (plan.size() < count && point.autoplay) {
    const StepPlan step = PlanStepFrom(movie, session.looptype, point, point.frame + point.playdir);
    key.number = step.frame;
    key.position = step.position;
    // Each shown record's log-average moves its eye's adaptation, when
    // tone mapping; a record whose statistics cannot be read stops the plan
    // there (making that frame fails, and says so, when it is shown).
    double logAv[2] = {0.0, 0.0};
    for (int eye = 0; eye < movie.shown_eyes; eye++) {
      double maxLum;
      if (ReadStatisticsAt(movie, step.position + (uint64_t)eye * movie.record_size, &maxLum, &logAv[eye]) < 2)
        return plan;
    }
    plan.push_back(key);
    if (key.settings.tmo)
      for (int eye = 0; eye < movie.shown_eyes; eye++) AdaptLogAverage(&key.adapted[eye], logAv[eye]);
    point = {step.frame, step.position + movie.frame_size, step.playdir, step.autoplay};
  }
  return plan;
}
