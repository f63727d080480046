// Bitmap text and rectangles in window pixels, with one projection set-up.
#include "window_pixels.h"

#include <GL/freeglut.h>

void BeginWindowPixels() {
  const int w = glutGet(GLUT_WINDOW_WIDTH), h = glutGet(GLUT_WINDOW_HEIGHT);
  // The display's viewport is the picture's size; once the window has been
  // resized it no longer covers the window, and what is placed in window
  // pixels would be squeezed into it: the whole window for the time.
  glPushAttrib(GL_VIEWPORT_BIT);
  glViewport(0, 0, w, h);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0, w, 0, h, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
}

void EndWindowPixels() {
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
  glPopAttrib();
}

void DrawGLText(int x, int y, const char *text) {
  BeginWindowPixels();
  glRasterPos2i(x, y);
  int n = 0;
  for (const char *p = text; *p; p++) {
    if (*p == '\n' || *p == '\r') {
      n++;
      glRasterPos2i(x, y - 13 * n);
    } else {
      glutBitmapCharacter(GLUT_BITMAP_8_BY_13, *p);
    }
  }
  EndWindowPixels();
}

void FillWindowRect(int x0, int y0, int x1, int y1, unsigned char r, unsigned char g, unsigned char b) {
  glColor3ub(r, g, b);
  glRecti(x0, y0, x1, y1);
}
