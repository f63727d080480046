// Pacing: the idle callback asks for a display whenever the next slot at the
// target frame rate is due, and steps the movie when playing. It never sleeps.
#include <GL/freeglut.h>

#include "view.h"
#include "utility.h"

namespace {
double starttime;  // start of the current timing period
}

void HandleIdle() {
  if (newanimation) {
    starttime = GetRunTime();
    readtime = 0.0;
    drawtime = 0.0;
    framecounter = 0;
    newanimation = 0;
  }
  ApplyPendingSeek();
  const double now = GetRunTime();
  const double elapsed = now - starttime;
  if (elapsed > 0) globalframerate = framecounter / elapsed;
  if (framecounter / targetfps > elapsed) return;  // too early for another display
  if (autoplay) ShowFrame(currentframe + playdir);
  glutPostRedisplay();
}

void HandleVisibility(int state) {
  if (state == GLUT_VISIBLE)
    glutIdleFunc(HandleIdle);
  else
    glutIdleFunc(nullptr);
}
