// Clearing the window's back buffer before a display.
#include <GL/gl.h>

#include "view.h"

void ClearBuffers(int mode) {
  if (mode == 1) {
    glDrawBuffer(GL_BACK);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  }
}
