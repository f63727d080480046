// Drawing: the picture (or the stereo pair side by side), the information
// and help overlays, and the display-rate figures; what looks inside the
// picture is drawn by inspect_overlay.cpp.
#include <GL/freeglut.h>

#include <cstdarg>
#include <string>

#include "probe.h"
#include "utility.h"
#include "view.h"
#include "window_pixels.h"

namespace {

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

}  // namespace

void DrawPicture(const Session &s, const float *picture, const unsigned char *bytes) {
  const MovieHeader &h = s.movie.header;
  if (s.settings.bytes)
    glDrawPixels(h.width, h.height, GL_BGRA, GL_UNSIGNED_BYTE, bytes);
  else
    glDrawPixels(h.width, h.height, GL_RGB, GL_FLOAT, picture);
}

void HandleDisplay() {
  View *v = view;
  Session &s = v->session;
  if (v->firstcall) {
    v->lastmeasure = GetRunTime();
    v->firstcall = 0;
  }
  const double t0 = GetRunTime();
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  ClearBuffers(1);
  glViewport(0, 0, s.screenwidth, s.screenheight);
  glShadeModel(GL_FLAT);
  glDrawBuffer(GL_BACK);
  glRasterPos2f((float)s.lowleft, (float)s.lowright);
  glPixelStoref(GL_UNPACK_ALIGNMENT, 1);
  if (v->side_b) {
    DrawCompare(v);
  } else {
    const float *picture;
    const unsigned char *bytes;
    PictureToDraw(v, 0, &picture, &bytes);
    DrawPicture(s, picture, bytes);
    if (ShownEyes(s) == 2) {
      // The right eye starts where the left picture ends.
      glRasterPos2f((float)(s.lowleft + 2.0 * s.movie.header.width / s.screenwidth), (float)s.lowright);
      PictureToDraw(v, 1, &picture, &bytes);
      DrawPicture(s, picture, bytes);
    }
  }
  DrawInspection(v);
  DrawInfo(v);
  DrawHelp(*v);
  glutSwapBuffers();
  s.drawtime += GetRunTime() - t0;

  if (s.framecounter > 0 && s.framecounter % 100 == 0) {
    const double now = GetRunTime();
    s.localframerate = 100 / (now - v->lastmeasure);
    v->lastmeasure = now;
    if (s.debug)
      fprintf(stderr, "Framerate - Local %.1f fps, Global: %.1f fps (Target: %g)\n", s.localframerate,
              s.globalframerate, s.targetfps);
  }
  s.framecounter++;
}

void HandleReshape(int width, int height) {
  ClearBuffers(1);
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
}

void DrawInfo(View *v) {
  const Session &s = v->session;
  glColor4f(0, 1, 0, 1);
  if (!s.showinfo) return;
  // Comparing, the frame is the one the longer movie shows.
  DrawGLText(10, 10,
             Format("Bias: %.2f, Exposure: %.1f, Frame: %d%s", s.settings.biasParam, s.settings.exposure + 1,
                    LeadSession(v).currentframe, s.settings.lookahead ? " look-ahead" : "")
                 .c_str());
  if (s.framecounter > 10)
    DrawGLText(10, 23,
               Format("Read time: %.1f msec, Draw time: %.1f msec", s.readtime * 1000 / s.framecounter,
                      s.drawtime * 1000 / s.framecounter)
                   .c_str());
  if (s.autoplay)
    DrawGLText(10, 36,
               Format("Framerate - Local %.1f fps, Global: %.1f fps (Target: %g)", s.localframerate,
                      s.globalframerate, s.targetfps)
                   .c_str());
  DrawInspectInfo(v);
}

void DrawHelp(const View &v) {
  const Session &s = v.session;
  if (!s.showhelp) return;
  // The added options and keys go under the usage text, or beside it where
  // they would run into the information lines and the window has room.
  const HelpLayout layout =
      LayOutHelp(glutGet(GLUT_WINDOW_WIDTH), glutGet(GLUT_WINDOW_HEIGHT), s.showinfo ? InfoTop(v) : 0);
  glColor4f(1, 0, 0, 1);
  DrawGLText(layout.x1, layout.y1, helpstring);
  DrawGLText(layout.x2, layout.y2, TrimHelpLines(helpstring_added, layout.trim2).c_str());
}
