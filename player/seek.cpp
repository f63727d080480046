// Seeking: showing any frame by reading it directly at its place in the
// file, without ending the player when it cannot be read, and the timeline
// that maps window columns to frames.
#include <cstdio>

#include "session.h"

int SeekToFrame(Session *session, int frame) {
  const int nframes = session->movie.header.nframes;
  if (frame > nframes - 1) frame = nframes - 1;
  if (frame < 0) frame = 0;
  if (frame == session->currentframe) return 1;
  // Frame k starts at 12 + k x frame size. It comes from the frame cache,
  // or is read and converted into a frame of its own and takes the place of
  // the frame shown only when the whole of it could be read.
  const StepPlan plan = {frame, session->playdir, session->autoplay, FramePosition(session->movie, frame)};
  if (!TakeReadyFrame(session, plan) && MakeFrameNow(session, plan, false) != FRAME_MADE) {
    fprintf(stderr, "Frame %d cannot be read, staying on frame %d\n", frame, session->currentframe);
    if (session->autoplay) ReadAheadFrames(session);
    return 0;
  }
  session->currentframe = frame;
  session->picture_version++;
  if (session->debug) fprintf(stderr, "Seek to frame %d\n", frame);
  if (session->autoplay) ReadAheadFrames(session);
  return 1;
}

int TimelineFrame(int x, int width, int nframes) {
  if (width <= 0 || x < 0) return 0;
  const long long frame = (long long)x * nframes / width;
  return frame >= nframes ? nframes - 1 : (int)frame;
}

int TimelineFilled(int frame, int width, int nframes) {
  // Column x shows frame floor(x n / w): frames up to `frame` fill the
  // columns below ceil((frame + 1) w / n).
  if (nframes <= 0) return 0;
  const long long end = ((long long)(frame + 1) * width + nframes - 1) / nframes;
  return end > width ? width : (int)end;
}
