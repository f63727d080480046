// Showing the next frame: the stepping rules say which and where; it comes
// from the frame cache, or its picture records are read and converted.
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

  // The frame from the cache or the workers, when it is this one with
  // today's settings and adaptation state; otherwise it is made here.
  if (!TakeReadyFrame(session, plan)) {
    const FrameFault fault = MakeFrameNow(session, plan, true);
    if (fault != FRAME_MADE) {
      fprintf(stderr, "%s\n", FrameFaultMessage(fault));
      fprintf(stderr, "Failed to read rgbe buffer, frame %d\n", session->currentframe);
      return 0;
    }
  }
  if (session->autoplay) ReadAheadFrames(session);
  return 1;
}
