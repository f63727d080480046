// One record's conversion from raw pixels to the pictures the window shows,
// and the settings it is made with.
#include <cstring>

#include "render.h"
#include "rgbe.h"

namespace {
bool SameBits(float a, float b) { return memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

bool SameSettings(const RenderSettings &a, const RenderSettings &b) {
  return a.tmo == b.tmo && SameBits(a.exposure, b.exposure) && SameBits(a.biasParam, b.biasParam) &&
         a.lookahead == b.lookahead && a.radius == b.radius && a.avx == b.avx && a.bytes == b.bytes;
}

ConversionSettings MakeConversion(const RenderSettings &settings, int width, int height, int frame, WorkerPool *pool,
                                  StatisticsCache *statistics) {
  ConversionSettings cs;
  cs.width = width;
  cs.height = height;
  cs.npixels = (size_t)width * (size_t)height;
  cs.tmo = settings.tmo;
  cs.exposure = settings.exposure;
  cs.biasParam = settings.biasParam;
  cs.lookahead = settings.lookahead;
  cs.radius = settings.radius;
  cs.avx = settings.avx;
  cs.frame = frame;
  cs.pool = pool;
  cs.statistics = statistics;
  return cs;
}

void DecodePlayerPixel(const unsigned char rgbe[4], float rgb[3]) {
  if (rgbe[3] == 0) {
    rgb[0] = rgb[1] = rgb[2] = RGBE_FLOOR;
    return;
  }
  const float f = RGBE_E[rgbe[3]];
  rgb[0] = rgbe[0] * f;  // exact
  rgb[1] = rgbe[1] * f;
  rgb[2] = rgbe[2] * f;
}

void ConvertRecord(const ConversionSettings &cs, int eye, const unsigned char *rgbe, double maxLum, double logAvg,
                   double *adapted, double *lum, float *flt, float *out, unsigned char *bytes) {
  DecodeFrame(cs, rgbe, lum, flt);
  if (cs.tmo == 1) {
    TonemapRecord(cs, lum, maxLum, logAvg, adapted, eye);
    ColourFrame(cs, lum, flt, out, bytes);
  } else {
    ExposeFrame(cs, flt, out, bytes);
  }
}
