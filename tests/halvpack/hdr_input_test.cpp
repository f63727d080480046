// HDR video signals into linear BT.709 values: PQ and HLG greys at known
// light levels, and a BT.2020 primary outside BT.709 (negative components
// the clamping counts).
#include <cmath>

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
