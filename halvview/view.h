// The player program's GLUT glue: the callbacks, drawing, and the ways the
// program ends, over the GL-free session (session.h).
#ifndef HALVORN_VIEW_H
#define HALVORN_VIEW_H

#include <string>

#include "clipping.h"
#include "histogram.h"
#include "session.h"

// Orderly end: stops the work in flight, closes the movie, puts the display
// gamma back, exits 0. Marks the session as ending first: the window's
// close callback, which GLUT may run while the process ends, must not start
// a second one.
[[noreturn]] void CleanExit(Session *session);
// Puts the display gamma back and exits with `status` (start-up failures).
[[noreturn]] void FailExit(int status);
// Shows `frame` by the session's stepping rules; a frame that cannot be read
// ends the player through CleanExit.
void ShowFrame(Session *session, int frame);

// What the program keeps beside the session: the pointer, the display's
// timing, and what is made from the pictures shown for drawing (the
// clipping view, the histograms), each made again only when the pictures
// change.
struct Inspection {
  unsigned char *view_bytes[2] = {nullptr, nullptr};
  float *view_floats[2] = {nullptr, nullptr};
  long view_version = -1;
  ClipCounts view_counts;
  Histogram histograms[2];
  double statistics[2][2] = {};  // each eye's record: maxLum, logAv
  int statistics_read[2] = {0, 0};
  long histogram_version = -1;
  std::string last_probe;  // the probe text -d printed last
};

struct View {
  Session session;
  std::string moviepath;  // names the screenshots
  // The mouse: where the pointer is, for the probe; a click or drag on the
  // timeline asks for a seek, made from the idle callback.
  int pointer_inside = 0, pointer_x = 0, pointer_y = 0;
  int dragging = 0;
  int pending_seek = -1;
  // The display's timing.
  int firstcall = 1;
  double lastmeasure = 0.0;  // the last local frame-rate measurement
  double starttime = 0.0;    // start of the current timing period
  Inspection inspection;
  ~View();
};

// The one view the GLUT callbacks act on.
extern View *view;

// GLUT callbacks.
void HandleIdle();
void HandleVisibility(int state);
void HandleDisplay();
void HandleReshape(int width, int height);
void HandleKeyboard(unsigned char key, int x, int y);
void HandleSpecialKeyboard(int key, int x, int y);
void HandleMouse(int button, int state, int x, int y);
void HandleMotion(int x, int y);
void HandlePassiveMotion(int x, int y);
void HandleEntry(int state);
// The seek a click or drag asked for, made from the idle callback.
void ApplyPendingSeek(View *v);

// Drawing (display.cpp): the information and help overlays.
void DrawInfo(View *v);
void DrawHelp(const Session &session);
// Selects and clears the back buffer (mode 1).
void ClearBuffers(int mode);
// The screenshot key (screenshot.cpp).
void TakeScreenshot(const View &v);

// Looking inside the picture (inspect_overlay.cpp).
// The pictures to draw for an eye: the clipping view's when it is on.
void PictureToDraw(View *v, int eye, const float **picture, const unsigned char **bytes);
// The histograms (each in the top-right corner of its eye's picture) and,
// with the information overlay, the timeline bar along the window's bottom.
void DrawInspection(View *v);
// The information overlay's added lines: the probe, the playing mode and
// direction, the clipping view's legend.
void DrawInspectInfo(View *v);
// Rows of the timeline bar, from the window's bottom edge.
constexpr int TIMELINE_HEIGHT = 4;

#endif
