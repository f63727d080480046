// The pixel probe: which picture pixel lies under a window pixel, and what
// that pixel holds in the scene and on the screen.
#include <cmath>
#include <cstdarg>

#include "probe.h"

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

const unsigned char *ShownPixels(const Session &session, int eye) {
  return session.shown->rgbe + 4 * session.movie.npixels * (size_t)eye;
}

const float *ShownPicture(const Session &session, int eye) { return session.shown->out[eye == 1 ? 1 : 0]; }

const unsigned char *ShownBytes(const Session &session, int eye) { return session.shown->bytes[eye == 1 ? 1 : 0]; }

void PictureOrigin(const Session &session, int eye, int *column, int *row) {
  // The display puts the right eye where the left picture ends.
  const double left =
      eye == 1 ? session.lowleft + 2.0 * session.movie.header.width / session.screenwidth : session.lowleft;
  *column = FirstPixel(left, session.screenwidth);
  *row = FirstPixel(session.lowright, session.screenheight);
}

PictureSpot LocatePicturePixel(const Session &session, int wx, int wy, int window_height) {
  const int W = session.movie.header.width, H = session.movie.header.height;
  PictureSpot spot = {0, 0, 0, 0};
  const int from_bottom = window_height - 1 - wy;
  for (int eye = 0; eye < ShownEyes(session); eye++) {
    int column, row;
    PictureOrigin(session, eye, &column, &row);
    const int x = wx - column, r = from_bottom - row;
    if (x >= 0 && x < W && r >= 0 && r < H) {
      spot.inside = 1;
      spot.eye = eye;
      spot.x = x;
      spot.y = H - 1 - r;
      return spot;
    }
  }
  return spot;
}

ProbeValues ProbePixel(const Session &session, const PictureSpot &spot) {
  const int W = session.movie.header.width, H = session.movie.header.height;
  ProbeValues v;
  // Memory holds the bottom row first.
  const size_t k = (size_t)(H - 1 - spot.y) * (size_t)W + (size_t)spot.x;
  // Decoded as the player decodes it.
  DecodePlayerPixel(ShownPixels(session, spot.eye) + 4 * k, v.scene);
  v.luminance = PixelLuminance(v.scene);
  const float *shown = ShownPicture(session, spot.eye) + 3 * k;
  for (int c = 0; c < 3; c++) v.shown[c] = shown[c];
  return v;
}

std::string ProbeText(const Session &session, const PictureSpot &spot, const ProbeValues &v) {
  const char *eye = ShownEyes(session) == 2 ? (spot.eye == 0 ? " left" : " right") : "";
  return Format("Pixel (%d, %d)%s: scene %.4g %.4g %.4g, lum %.4g; shown %.4g %.4g %.4g", spot.x, spot.y, eye,
                v.scene[0], v.scene[1], v.scene[2], v.luminance, v.shown[0], v.shown[1], v.shown[2]);
}
