// One record's conversion from raw pixels to the pictures the window shows,
// with settings taken at one moment and the work shared out among the
// worker threads.
#include "player.h"

ConversionSettings CurrentSettings() {
  ConversionSettings cs;
  cs.width = header.width;
  cs.height = header.height;
  cs.npixels = npixels;
  cs.tmo = tmo;
  cs.exposure = exposure;
  cs.biasParam = biasParam;
  cs.lookahead = lookahead;
  cs.frame = currentframe;
  cs.pool = workers;
  return cs;
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
