// HDR video signals into linear BT.709 values: PQ and HLG greys at known
// light levels, a BT.2020 primary outside BT.709 (negative components the
// clamping counts), and grey PFM pictures decoded as greys.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "builder.h"
#include "hdr_signal.h"

TEST(DecodeSignal, GreysAtKnownLight) {
  const struct {
    SignalCurve curve;
    double signal, nits, value;
  } cases[] = {
      {SIGNAL_PQ, PqEncode(179.0), 179.0, 1.0},      // the default unit
      {SIGNAL_PQ, PqEncode(1000.0), 100.0, 10.0},    // a value of 1 is 100 cd/m2
      {SIGNAL_PQ, 1.0, 179.0, 10000.0 / 179.0},      // the top of the curve
      {SIGNAL_PQ, 0.0, 179.0, 0.0},
      {SIGNAL_HLG, 0.75, 203.15214593754538, 1.0},   // the reference white of the 1000 cd/m2 display
      {SIGNAL_HLG, 1.0, 1000.0, 1.0},
  };
  for (const auto &c : cases) {
    PictureSignal signal;
    signal.curve = c.curve;
    signal.nits = c.nits;
    float rgb[3] = {(float)c.signal, (float)c.signal, (float)c.signal};
    DecodeSignal(signal, rgb, 1);
    for (float v : rgb) EXPECT_NEAR(v, c.value, 2e-5 * (1.0 + c.value)) << c.curve << " " << c.signal;
  }
}

TEST(DecodeSignal, ColoursOutsideBt709AreCountedWhenClamped) {
  // BT.2020's green primary at 100 cd/m2 lies outside BT.709: red and blue
  // come out negative, green above the light.
  PictureSignal signal;
  signal.curve = SIGNAL_PQ;
  signal.nits = 100.0;
  float rgb[3] = {0.0f, (float)PqEncode(100.0), 0.0f};
  DecodeSignal(signal, rgb, 1);
  EXPECT_NEAR(rgb[0], BT2020_TO_BT709[0][1], 1e-5);
  EXPECT_NEAR(rgb[1], BT2020_TO_BT709[1][1], 1e-5);
  EXPECT_NEAR(rgb[2], BT2020_TO_BT709[2][1], 1e-5);
  unsigned char rgbe[4];
  OutOfRange range = {0, 0};
  ConvertFloats(rgb, 3, 1, rgbe, &range);
  EXPECT_EQ(range.zeroed, 1u);
  EXPECT_EQ(range.saturated, 0u);
}

TEST(DecodeSignal, GreyPfmRowsDecodeAsGreys) {
  // Two rows of a grey PFM band (bottom row first, little-endian, scale 1)
  // with PQ greys of 179 and 1790 cd/m2: values 1 and 10, top row first.
  PFMHeader pfm = {};
  pfm.width = 2;
  pfm.height = 2;
  pfm.channels = 1;
  pfm.little_endian = true;
  pfm.scale = -1.0f;
  const float bottom = (float)PqEncode(179.0), top = (float)PqEncode(1790.0);
  std::vector<float> band = {bottom, bottom, top, top};
  PictureSignal signal;
  signal.curve = SIGNAL_PQ;
  unsigned char rgbe[16];
  OutOfRange range = {0, 0};
  ConvertPFMBand(pfm, signal, band.data(), 2, rgbe, &range);
  // Each pixel grey, within the 8-bit mantissa's step.
  const double want[4] = {10.0, 10.0, 1.0, 1.0};
  for (int k = 0; k < 4; k++) {
    const unsigned char *px = rgbe + 4 * k;
    EXPECT_TRUE(px[0] == px[1] && px[1] == px[2]) << k;
    EXPECT_NEAR(std::ldexp((double)px[0], px[3] - 136), want[k], want[k] / 128.0) << k;
  }
}
