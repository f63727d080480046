// The pixel probe: which picture pixel lies under a window pixel, and what
// that pixel holds in the scene and on the screen.
#include <cmath>
#include <cstdarg>

#include "inspect.h"
#include "rgbe.h"

namespace {

// The first window pixel of a picture drawn at normalised position `ndc`
// in a viewport `size` pixels long: GL puts the raster position at
// (ndc + 1) x size / 2 (in single precision, as the display passes it) and
// fills the pixels whose centres lie at or after it.
int FirstPixel(double ndc, int size) {
  const double at = ((double)(float)ndc + 1.0) * 0.5 * size;
  return (int)std::ceil(at - 0.5);
}

std::string Format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char text[256];
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace

const unsigned char *ShownPixels(int eye) { return rgbe_buf + 4 * npixels * (size_t)eye; }

const float *ShownPicture(int eye) { return eye == 1 ? out_img_right : out_img; }

void PictureOrigin(int eye, int *column, int *row) {
  // The display puts the right eye where the left picture ends.
  const double left = eye == 1 ? lowleft + 2.0 * header.width / screenwidth : lowleft;
  *column = FirstPixel(left, screenwidth);
  *row = FirstPixel(lowright, screenheight);
}

PictureSpot LocatePicturePixel(int wx, int wy, int window_height) {
  PictureSpot spot = {0, 0, 0, 0};
  const int from_bottom = window_height - 1 - wy;
  for (int eye = 0; eye < showneyes; eye++) {
    int column, row;
    PictureOrigin(eye, &column, &row);
    const int x = wx - column, r = from_bottom - row;
    if (x >= 0 && x < header.width && r >= 0 && r < header.height) {
      spot.inside = 1;
      spot.eye = eye;
      spot.x = x;
      spot.y = header.height - 1 - r;
      return spot;
    }
  }
  return spot;
}

ProbeValues ProbePixel(const PictureSpot &spot) {
  ProbeValues v;
  // Memory holds the bottom row first.
  const size_t k = (size_t)(header.height - 1 - spot.y) * (size_t)header.width + (size_t)spot.x;
  const unsigned char *p = ShownPixels(spot.eye) + 4 * k;
  // Decoded as the player decodes: mantissa x 2^(e - 136); no exponent, 1e-6.
  if (p[3] != 0) {
    const float f = RGBE_E[p[3]];
    for (int c = 0; c < 3; c++) v.scene[c] = p[c] * f;
  } else {
    v.scene[0] = v.scene[1] = v.scene[2] = 1e-6f;
  }
  v.luminance = (0.2126 * (double)v.scene[0] + 0.7152 * (double)v.scene[1]) + 0.0722 * (double)v.scene[2];
  const float *shown = ShownPicture(spot.eye) + 3 * k;
  for (int c = 0; c < 3; c++) v.shown[c] = shown[c];
  return v;
}

std::string ProbeText(const PictureSpot &spot, const ProbeValues &v) {
  const char *eye = showneyes == 2 ? (spot.eye == 0 ? " left" : " right") : "";
  return Format("Pixel (%d, %d)%s: scene %.4g %.4g %.4g, lum %.4g; shown %.4g %.4g %.4g", spot.x, spot.y, eye,
                v.scene[0], v.scene[1], v.scene[2], v.luminance, v.shown[0], v.shown[1], v.shown[2]);
}
