// The stepping rules: which frame a step shows, where its records lie, and
// the moves to the movie's ends.
//
// Between steps the session's position stands at the end of the frame
// shown, that is at the start of the next frame in the file.
#include "session.h"

namespace {

// A position `delta` bytes from `from`; a step before the start of the file
// fails and leaves the position where it was.
uint64_t SeekTarget(uint64_t from, int64_t delta, uint64_t here) {
  return (int64_t)from + delta >= 0 ? (uint64_t)((int64_t)from + delta) : here;
}

}  // namespace

StepPlan PlanStep(const Session &session, int frame) {
  const PlayPoint point = {session.currentframe, session.position, session.playdir, session.autoplay};
  return PlanStepFrom(session.movie, session.looptype, point, frame);
}

StepPlan PlanStepFrom(const MovieFile &movie, int looptype, const PlayPoint &point, int frame) {
  const int cur = point.frame;
  const int nframes = movie.header.nframes;
  const int64_t size = (int64_t)movie.frame_size;
  const uint64_t here = point.position;
  const int autoplay = point.autoplay;
  StepPlan plan = {cur, point.playdir, autoplay, here};
  if (frame == 0) {
    plan.frame = 0;
    plan.position = MOVIE_HEADER_SIZE;
  } else if (frame == cur) {
    plan.position = SeekTarget(here, -size, here);  // show the same frame again
  } else if (frame > cur) {
    if (cur < nframes - 1) {
      plan.frame = cur + 1;
    } else if (!autoplay || looptype == 1) {
      plan.frame = 0;
      plan.position = MOVIE_HEADER_SIZE;
    } else if (looptype == 2) {  // ping-pong: the direction reverses, the next frame is the one before
      plan.playdir = -1;
      plan.frame = cur > 0 ? cur - 1 : 0;
      plan.position = SeekTarget(here, cur > 0 ? -2 * size : -size, here);
    } else {  // play once and stop on the last frame
      plan.frame = nframes - 1;
      plan.position = SeekTarget(CurrentFileSize(movie), -size, here);
      plan.autoplay = 0;
    }
  } else {
    if (cur > 0) {
      plan.frame = cur - 1;
      plan.position = SeekTarget(here, -2 * size, here);
    } else if (!autoplay || looptype == 1) {
      plan.frame = nframes - 1;
      plan.position = SeekTarget(CurrentFileSize(movie), -size, here);
    } else {  // the direction reverses: the next frame in the file is frame 1
      plan.playdir = 1;
      if (nframes > 1) {
        plan.frame = 1;
      } else {  // a one-frame movie has no frame 1: frame 0 again
        plan.position = SeekTarget(here, -size, here);
      }
    }
  }
  return plan;
}

void Move2Start(Session *session) {
  session->position = MOVIE_HEADER_SIZE;
  session->currentframe = 0;
}

void Move2End(Session *session) {
  session->position = SeekTarget(CurrentFileSize(session->movie), -(int64_t)session->movie.frame_size,
                                 session->position);
  session->currentframe = session->movie.header.nframes - 1;
}

