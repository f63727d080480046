// HDR10 output: the player's linear BT.709 values as absolute light in
// BT.2020 primaries, clipped to the display's peak, ready for the PQ
// quantiser, with the light levels counted on the way.
#include "exporter.h"
#include "hdr_signal.h"

void ToPqLight(float *rgb, size_t count, double scale, double peak, FrameLight *light) {
  double brightest = light->brightest, sum = light->sum;
  for (size_t k = 0; k < count; k++, rgb += 3) {
    const double in[3] = {scale * (double)rgb[0], scale * (double)rgb[1], scale * (double)rgb[2]};
    double out[3];
    ApplyMatrix(BT709_TO_BT2020, in, out);
    double top = 0.0;
    for (int c = 0; c < 3; c++) {
      const double v = out[c] > 0.0 ? (out[c] < peak ? out[c] : peak) : 0.0;  // NaN to 0
      top = v > top ? v : top;
      rgb[c] = (float)(v / PQ_PEAK);
    }
    brightest = top > brightest ? top : brightest;
    sum += top;
  }
  light->brightest = brightest;
  light->sum = sum;
}
