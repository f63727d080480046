// The pixel probe: which picture pixel lies under a window pixel, and what
// that pixel holds in the scene and on the screen. GL-free; the program
// draws what it computes.
#ifndef HALVORN_PROBE_H
#define HALVORN_PROBE_H

#include <string>

#include "session.h"

// The raw RGBE pixels of eye `eye` of the frame shown, bottom row first.
const unsigned char *ShownPixels(const Session &session, int eye);
// The picture shown of eye `eye` (the floats that are drawn), and its
// display bytes (null when the window takes floats).
const float *ShownPicture(const Session &session, int eye);
const unsigned char *ShownBytes(const Session &session, int eye);

// A window pixel located in the pictures drawn: the eye and the pixel, x
// from the left and y from the top of that eye's picture.
struct PictureSpot {
  int inside;  // 0 when the window pixel shows no picture
  int eye;
  int x, y;
};
// Where the picture drawn (or the right eye's, drawn next to it) lies:
// the window column and row (counted from the bottom) of its lower-left
// pixel, for the window's size and the raster position the display uses.
void PictureOrigin(const Session &session, int eye, int *column, int *row);
// The picture pixel under window pixel (wx, wy), wy counted from the top
// as GLUT gives it, in a window `window_height` pixels high.
PictureSpot LocatePicturePixel(const Session &session, int wx, int wy, int window_height);

// What the probe shows of a pixel: its scene colour as decoded (before
// exposure), that colour's luminance, and the value drawn on the screen.
struct ProbeValues {
  float scene[3];
  double luminance;
  float shown[3];
};
ProbeValues ProbePixel(const Session &session, const PictureSpot &spot);
// The probe's line of the information overlay.
std::string ProbeText(const Session &session, const PictureSpot &spot, const ProbeValues &values);

#endif
