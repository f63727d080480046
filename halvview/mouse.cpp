// The mouse: where the pointer is, for the pixel probe, and seeking by a
// click or a drag on the timeline bar.
#include <GL/freeglut.h>

#include "view.h"

namespace {

void NotePointer(View *v, int x, int y) {
  v->pointer_inside = 1;
  v->pointer_x = x;
  v->pointer_y = y;
}

// Whether window row y (from the top) lies on the timeline bar, which
// shows with the information overlay.
int OnTimeline(const View &v, int y) {
  const int from_bottom = glutGet(GLUT_WINDOW_HEIGHT) - 1 - y;
  return v.session.showinfo && from_bottom >= 0 && from_bottom < TIMELINE_HEIGHT;
}

int FrameUnder(const View &v, int x) {
  const Session &lead = v.side_b && LeadingSide(v.session, *v.side_b) == 1 ? *v.side_b : v.session;
  return TimelineFrame(x, glutGet(GLUT_WINDOW_WIDTH), lead.movie.header.nframes);
}

}  // namespace

void HandleMouse(int button, int state, int x, int y) {
  NotePointer(view, x, y);
  if (button != GLUT_LEFT_BUTTON) return;
  if (state == GLUT_DOWN && OnTimeline(*view, y)) {
    view->dragging = 1;
    view->pending_seek = FrameUnder(*view, x);
  } else if (state == GLUT_DOWN) {
    view->dragging_wipe = StartWipeDrag(view, x, y);
  } else if (state == GLUT_UP) {
    view->dragging = 0;
    view->dragging_wipe = 0;
  }
}

void HandleMotion(int x, int y) {
  NotePointer(view, x, y);
  // A drag goes on seeking wherever the pointer goes, the window's sides
  // standing for the first and the last frame.
  if (view->dragging) view->pending_seek = FrameUnder(*view, x);
  if (view->dragging_wipe) DragWipe(view, x);
}

void HandlePassiveMotion(int x, int y) { NotePointer(view, x, y); }

void HandleEntry(int state) {
  if (state == GLUT_LEFT) view->pointer_inside = 0;
}

void ApplyPendingSeek(View *v) {
  // Motion comes faster than frames are read: only the latest place counts.
  if (v->pending_seek < 0) return;
  const int frame = v->pending_seek;
  v->pending_seek = -1;
  SeekBoth(v, frame);
}
