// Drawing: the picture (or the stereo pair side by side), the information
// and help overlays, and the display-rate figures; what looks inside the
// picture is drawn by inspect_overlay.cpp.
#include <GL/freeglut.h>

#include <cstdarg>
#include <string>

#include "view.h"
#include "utility.h"

namespace {

int firstcall = 1;
double lastmeasure;  // time of the last local frame-rate measurement

// printf into a string of whatever length the figures need.
std::string Format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char small[128];
  const int needed = vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (needed < (int)sizeof(small)) return small;
  std::string text((size_t)needed + 1, '\0');
  va_start(args, format);
  vsnprintf(&text[0], text.size(), format, args);
  va_end(args);
  text.resize((size_t)needed);
  return text;
}

// One eye's picture at the raster position, in the upload's format.
void DrawPicture(const float *picture, const unsigned char *bytes) {
  if (upload_bytes)
    glDrawPixels(header.width, header.height, GL_BGRA, GL_UNSIGNED_BYTE, bytes);
  else
    glDrawPixels(header.width, header.height, GL_RGB, GL_FLOAT, picture);
}

}  // namespace

void HandleDisplay() {
  if (firstcall) {
    lastmeasure = GetRunTime();
    firstcall = 0;
  }
  const double t0 = GetRunTime();
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  ClearBuffers(1);
  glViewport(0, 0, screenwidth, screenheight);
  glShadeModel(GL_FLAT);
  glDrawBuffer(GL_BACK);
  glRasterPos2f((float)lowleft, (float)lowright);
  glPixelStoref(GL_UNPACK_ALIGNMENT, 1);
  const float *picture;
  const unsigned char *bytes;
  PictureToDraw(0, &picture, &bytes);
  DrawPicture(picture, bytes);
  if (showneyes == 2) {
    // The right eye starts where the left picture ends.
    glRasterPos2f((float)(lowleft + 2.0 * header.width / screenwidth), (float)lowright);
    PictureToDraw(1, &picture, &bytes);
    DrawPicture(picture, bytes);
  }
  DrawInspection();
  DrawInfo();
  DrawHelp();
  glutSwapBuffers();
  drawtime += GetRunTime() - t0;

  if (framecounter > 0 && framecounter % 100 == 0) {
    const double now = GetRunTime();
    localframerate = 100 / (now - lastmeasure);
    lastmeasure = now;
    if (debug)
      fprintf(stderr, "Framerate - Local %.1f fps, Global: %.1f fps (Target: %g)\n", localframerate,
              globalframerate, targetfps);
  }
  framecounter++;
}

void HandleReshape(int width, int height) {
  ClearBuffers(1);
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
}

void DrawInfo() {
  glColor4f(0, 1, 0, 1);
  if (!showinfo) return;
  DrawGLText(10, 10,
             Format("Bias: %.2f, Exposure: %.1f, Frame: %d%s", biasParam, exposure + 1, currentframe,
                    lookahead ? " look-ahead" : "")
                 .c_str());
  if (framecounter > 10)
    DrawGLText(10, 23,
               Format("Read time: %.1f msec, Draw time: %.1f msec", readtime * 1000 / framecounter,
                      drawtime * 1000 / framecounter)
                   .c_str());
  if (autoplay)
    DrawGLText(10, 36,
               Format("Framerate - Local %.1f fps, Global: %.1f fps (Target: %g)", localframerate,
                      globalframerate, targetfps)
                   .c_str());
  DrawInspectInfo();
}

void DrawHelp() {
  if (!showhelp) return;
  const int h = glutGet(GLUT_WINDOW_HEIGHT);
  glColor4f(1, 0, 0, 1);
  DrawGLText(10, h - 20, helpstring);
  // The added options and keys, on the lines under it.
  int lines = 0;
  for (const char *p = helpstring; *p; p++) lines += *p == '\n';
  DrawGLText(10, h - 20 - 13 * lines, helpstring_added);
}

void DrawGLText(int x, int y, const char *text) {
  const int w = glutGet(GLUT_WINDOW_WIDTH), h = glutGet(GLUT_WINDOW_HEIGHT);
  // The display's viewport is the picture's size; once the window has been
  // resized it no longer covers the window, and text placed in window pixels
  // would be squeezed into it. Text gets the whole window for the time.
  glPushAttrib(GL_VIEWPORT_BIT);
  glViewport(0, 0, w, h);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0, w, 0, h, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
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
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glPopAttrib();
}
