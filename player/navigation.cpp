// Showing the next frame: the stepping rules say which and where, and its
// picture records are read into the pictures shown, or the frame prepared
// ahead is taken.
#include <cstdio>

#include "session.h"

int HandleNextFrame(Session *session, int frame) {
  const int cur = session->currentframe;
  if (frame != 0 && frame != cur && frame != cur + 1 && frame != cur - 1)
    fprintf(stderr, "Got unexpected frame difference\n");
  const StepPlan plan = PlanStep(*session, frame);
  session->picture_version++;
  session->currentframe = plan.frame;
  session->playdir = plan.playdir;
  session->autoplay = plan.autoplay;
  session->position = plan.position;

  // The frame prepared ahead, when it is this one with today's settings;
  // otherwise it is read here, into the pictures shown.
  if (!UsePreparedFrame(session, plan)) {
    const FrameJob job = DescribeFrame(*session, plan, nullptr);
    Frame *shown = session->shown.get();
    const FrameFault fault = MakeFrame(job, shown);
    session->adapted[0] = shown->adapted_after[0];
    session->adapted[1] = shown->adapted_after[1];
    if (fault != FRAME_MADE) {
      fprintf(stderr, "%s\n", FrameFaultMessage(fault));
      fprintf(stderr, "Failed to read rgbe buffer, frame %d\n", session->currentframe);
      return 0;
    }
    session->logAv = shown->last_logAv;
    session->readtime += shown->seconds;
    session->position = plan.position + session->movie.frame_size;
  }
  if (session->autoplay) PrepareFrame(session, session->currentframe + session->playdir);
  return 1;
}
