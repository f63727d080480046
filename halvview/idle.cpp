// Pacing: the idle callback asks for a display whenever the next slot at the
// target frame rate is due, and steps the movie when playing. It never sleeps.
#include <GL/freeglut.h>

#include "utility.h"
#include "view.h"

void HandleIdle() {
  Session &s = view->session;
  if (s.newanimation) {
    view->starttime = GetRunTime();
    s.readtime = 0.0;
    s.drawtime = 0.0;
    s.framecounter = 0;
    s.newanimation = 0;
  }
  ApplyPendingSeek(view);
  const double now = GetRunTime();
  const double elapsed = now - view->starttime;
  if (elapsed > 0) s.globalframerate = s.framecounter / elapsed;
  if (s.framecounter / s.targetfps > elapsed) return;  // too early for another display
  Session &lead = LeadSession(view);  // the session itself without a side B
  if (lead.autoplay) StepBoth(view, lead.currentframe + lead.playdir);
  glutPostRedisplay();
}

void HandleVisibility(int state) {
  if (state == GLUT_VISIBLE)
    glutIdleFunc(HandleIdle);
  else
    glutIdleFunc(nullptr);
}
