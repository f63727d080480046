// The player program's GLUT glue: the callbacks, drawing, and the ways the
// program ends, over the GL-free session (session.h).
#ifndef HALVORN_VIEW_H
#define HALVORN_VIEW_H

#include <string>

#include <memory>

#include "clipping.h"
#include "compare.h"
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
  Inspection() = default;
  ~Inspection();
  Inspection(const Inspection &) = delete;
  Inspection &operator=(const Inspection &) = delete;
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

// The difference view's picture, made again when either side's pictures
// change, or the sides are swapped or the eye chosen.
struct DifferencePicture {
  DifferencePicture() = default;
  ~DifferencePicture();
  DifferencePicture(const DifferencePicture &) = delete;
  DifferencePicture &operator=(const DifferencePicture &) = delete;
  float *floats = nullptr;
  unsigned char *bytes = nullptr;
  long version[2] = {-1, -1};
  int swapped = -1, eye = -1;
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
  // Comparing (-c): side B with what is made from its pictures, the
  // compare state and the difference picture. side_b is null without -c
  // (or once side B could not be read).
  std::unique_ptr<Session> side_b;
  Inspection inspection_b;
  CompareState compare;
  int dragging_wipe = 0;
  DifferencePicture difference;
};

// Side `side` (0 A, 1 B) of a view that compares, and what is made from
// its pictures.
Session &SideSession(View *v, int side);
const Session &SideSession(const View &v, int side);
Inspection &SideInspection(View *v, int side);

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

// Drawing (display.cpp): a picture at the raster position, the
// information and help overlays.
void DrawPicture(const Session &session, const float *picture, const unsigned char *bytes);
void DrawInfo(View *v);
void DrawHelp(const View &v);
// Selects and clears the back buffer (mode 1).
void ClearBuffers(int mode);
// The screenshot key (screenshot.cpp).
void TakeScreenshot(const View &v);

// Looking inside the picture (inspect_overlay.cpp).
// The pictures to draw for an eye: the clipping view's when it is on.
void PictureToDraw(View *v, int eye, const float **picture, const unsigned char **bytes);
// The same for a side's session and what is made from it, the clipping
// view's when `clipview` is set; 0 when there is no memory for it (the
// side's own pictures are given then).
int SidePictureToDraw(const Session &s, Inspection *in, int eye, int clipview, const float **picture,
                      const unsigned char **bytes);
// A side's histogram of eye `eye` in the top-right corner of its picture,
// whose lower-left pixel is at window (column, row); inside
// BeginWindowPixels.
void DrawSideHistogram(Session &s, Inspection *in, int eye, int column, int row);
// The clipping view's legend for the counts of `pixels` pixels.
void DrawClipLegend(const ClipCounts &counts, double pixels);
// The histograms (each in the top-right corner of its eye's picture) and,
// with the information overlay, the timeline bar along the window's bottom.
void DrawInspection(View *v);
// The information overlay's added lines: the probe, the playing mode and
// direction, the clipping view's legend.
void DrawInspectInfo(View *v);
// Rows of the timeline bar, from the window's bottom edge.
constexpr int TIMELINE_HEIGHT = 4;

// Comparing (compare_view.cpp). Without a side B each acts on the view's
// session alone, as the player always has.
// The orderly end (CleanExit), side B's frames being made ahead called off
// first.
[[noreturn]] void EndPlayer(View *v);
// The side whose stepping moves both (the longer movie).
Session &LeadSession(View *v);
// Shows `frame` by the lead's stepping rules, and the other side the frame
// aligned with it. A side A that cannot be read ends the player; a side B
// that cannot be read is dropped and the player goes on with side A.
void StepBoth(View *v, int frame);
// Seeks the lead to `frame`, and the other side after it.
void SeekBoth(View *v, int frame);
// Tab, 'v', 'x' and 'e' when comparing; returns 0 for other keys and
// without a side B.
int HandleCompareKey(View *v, unsigned char key);
// The window's size for the view (the picture's lower-left corner stays).
void SizeCompareWindow(View *v);
// The pictures of the compare view, the histograms of the sides drawn.
void DrawCompare(View *v);
// The overlay's lines of the compare mode: B's probe, each side's
// settings, the compare state, the difference legend.
void DrawCompareInfo(View *v);
// The top of the information lines (window pixels from the bottom).
int InfoTop(const View &v);
// Where the compare view's picture (the left one side by side) has its
// lower-left pixel.
void CompareOrigin(const View &v, int *column, int *row);
// A left-button press or drag on the picture moves the wipe line.
int StartWipeDrag(View *v, int x, int y);
void DragWipe(View *v, int x);
// The screenshot of what the compare view shows.
void TakeCompareScreenshot(const View &v);

#endif
