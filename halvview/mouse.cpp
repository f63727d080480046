// The mouse: where the pointer is, for the pixel probe, and seeking by a
// click or a drag on the timeline bar.
#include <GL/freeglut.h>

#include "inspect.h"
#include "view.h"

int pointer_inside = 0, pointer_x = 0, pointer_y = 0;

namespace {

int dragging = 0;       // the left button went down on the timeline and is held
int pending_seek = -1;  // the frame last asked for, sought from the idle callback

void NotePointer(int x, int y) {
  pointer_inside = 1;
  pointer_x = x;
  pointer_y = y;
}

// Whether window row y (from the top) lies on the timeline bar, which
// shows with the information overlay.
int OnTimeline(int y) {
  const int from_bottom = glutGet(GLUT_WINDOW_HEIGHT) - 1 - y;
  return showinfo && from_bottom >= 0 && from_bottom < TIMELINE_HEIGHT;
}

int FrameUnder(int x) { return TimelineFrame(x, glutGet(GLUT_WINDOW_WIDTH), header.nframes); }

}  // namespace

void HandleMouse(int button, int state, int x, int y) {
  NotePointer(x, y);
  if (button != GLUT_LEFT_BUTTON) return;
  if (state == GLUT_DOWN && OnTimeline(y)) {
    dragging = 1;
    pending_seek = FrameUnder(x);
  } else if (state == GLUT_UP) {
    dragging = 0;
  }
}

void HandleMotion(int x, int y) {
  NotePointer(x, y);
  // A drag goes on seeking wherever the pointer goes, the window's sides
  // standing for the first and the last frame.
  if (dragging) pending_seek = FrameUnder(x);
}

void HandlePassiveMotion(int x, int y) { NotePointer(x, y); }

void HandleEntry(int state) {
  if (state == GLUT_LEFT) pointer_inside = 0;
}

void ApplyPendingSeek() {
  // Motion comes faster than frames are read: only the latest place counts.
  if (pending_seek < 0) return;
  const int frame = pending_seek;
  pending_seek = -1;
  SeekToFrame(fptr, frame);
}
