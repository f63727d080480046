// HDR video signals in: PQ or HLG BT.2020 values decoded into the linear
// BT.709 values a movie holds, in units of a chosen number of cd/m2.
#include "builder.h"
#include "hdr_signal.h"

void DecodeSignal(const PictureSignal &signal, float *rgb, size_t count) {
  const double unit = 1.0 / signal.nits;
  for (size_t k = 0; k < count; k++, rgb += 3) {
    double light[3];  // BT.2020, cd/m2
    if (signal.curve == SIGNAL_PQ) {
      for (int c = 0; c < 3; c++) light[c] = PqDecode((double)rgb[c]);
    } else {
      const double scene[3] = {HlgDecode((double)rgb[0]), HlgDecode((double)rgb[1]), HlgDecode((double)rgb[2])};
      HlgDisplayLight(scene, light);
    }
    double out[3];
    ApplyMatrix(BT2020_TO_BT709, light, out);
    for (int c = 0; c < 3; c++) rgb[c] = (float)(out[c] * unit);
  }
}
