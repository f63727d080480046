// The HDR video signals against published values: the PQ curve's
// reference points, the HLG curve and its reference display, the primaries
// matrices, and the light of a few pixels worked out by hand, on both
// kernel sets.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "exporter.h"
#include "hdr_signal.h"
#include "render.h"


TEST(HdrSignal, PqReferencePoints) {
  // Luminance, the signal, and its 10-bit full-range code.
  const struct {
    double nits, signal;
    int code;
  } points[] = {{0.0, 0.0000007, 0}, {100.0, 0.5080784, 520}, {1000.0, 0.7518271, 769}, {10000.0, 1.0, 1023}};
  for (const auto &p : points) {
    EXPECT_NEAR(PqEncode(p.nits), p.signal, 1e-7) << p.nits;
    EXPECT_EQ(lrint(1023.0 * PqEncode(p.nits)), p.code) << p.nits;
    if (p.nits > 0.0) {
      EXPECT_NEAR(PqDecode(PqEncode(p.nits)), p.nits, 1e-9 * p.nits) << p.nits;
    }
  }
  EXPECT_EQ(PqDecode(0.0), 0.0);
  EXPECT_EQ(PqEncode(-5.0), PqEncode(0.0));
  EXPECT_EQ(PqEncode(20000.0), 1.0);
  EXPECT_EQ(PqDecode(std::numeric_limits<double>::quiet_NaN()), 0.0);
}

TEST(HdrSignal, HlgCurveAndReferenceDisplay) {
  EXPECT_EQ(HlgEncode(0.0), 0.0);
  EXPECT_NEAR(HlgEncode(1.0 / 12.0), 0.5, 1e-15);
  EXPECT_NEAR(HlgEncode(1.0), 1.0, 1e-7);
  for (double e = 0.0; e <= 1.0; e += 1.0 / 64.0) EXPECT_NEAR(HlgDecode(HlgEncode(e)), e, 1e-12) << e;
  // A grey at 75 % of the signal is the reference white, 203 cd/m2, on the
  // 1000 cd/m2 display; its colour is kept.
  const double s = HlgDecode(0.75);
  const double grey[3] = {s, s, s};
  double light[3];
  HlgDisplayLight(grey, light);
  EXPECT_NEAR(light[0], 203.15, 0.01);
  EXPECT_EQ(light[0], light[2]);
  const double white[3] = {1.0, 1.0, 1.0};
  HlgDisplayLight(white, light);
  EXPECT_NEAR(light[1], HLG_DISPLAY_PEAK, 1e-9);
}

TEST(HdrSignal, MatricesOfThePrimaries) {
  // BT.709 to BT.2020 as published (ITU-R BT.2087, to four places); the
  // other way is its inverse.
  const double published[3][3] = {
      {0.6274, 0.3293, 0.0433}, {0.0691, 0.9195, 0.0114}, {0.0164, 0.0880, 0.8956}};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      EXPECT_NEAR(BT709_TO_BT2020[i][j], published[i][j], 5e-5) << i << " " << j;
      double product = 0.0;
      for (int k = 0; k < 3; k++) product += BT2020_TO_BT709[i][k] * BT709_TO_BT2020[k][j];
      EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-12) << i << " " << j;
    }
  // White stays white: every row adds up to 1.
  for (const auto *m : {BT709_TO_BT2020, BT2020_TO_BT709})
    for (int i = 0; i < 3; i++) EXPECT_NEAR(m[i][0] + m[i][1] + m[i][2], 1.0, 1e-12);
}

TEST(HdrSignal, LightOfPixelsByHand) {
  // White at 179 cd/m2 is white in both primaries; BT.709 red of 2 is
  // 358 x (0.627404, 0.069097, 0.016391); 10 is clipped to the peak of
  // 1000 cd/m2; negative and NaN values are dark.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  float rgb[] = {1.0f, 1.0f, 1.0f, 2.0f, 0.0f, 0.0f, 10.0f, 10.0f, 10.0f, -1.0f, nan, 0.0f};
  FrameLight light;
  light.brightest = 5.0;  // added to, not replaced
  light.sum = 7.0;
  ToPqLight(rgb, 4, 179.0, 1000.0, 0, &light);
  const double red = 358.0 * 0.627403895934699;
  EXPECT_NEAR(light.brightest, 1000.0, 1e-9);
  EXPECT_NEAR(light.sum, 7.0 + 179.0 + red + 1000.0, 1e-9);
  const float want[] = {0.0179f, 0.0179f, 0.0179f, (float)(red / 1e4), (float)(358.0 * 0.069097289358232 / 1e4),
                        (float)(358.0 * 0.016391438875150 / 1e4), 0.1f, 0.1f, 0.1f, 0.0f, 0.0f, 0.0f};
  for (int i = 0; i < 12; i++) EXPECT_NEAR(rgb[i], want[i], 1e-7) << i;
  // MaxFALL of these four pixels: (179 + 224.6 + 1000 + 0) / 4.
  EXPECT_NEAR((light.sum - 7.0) / 4.0, 350.9, 0.1);
}

TEST(HdrSignal, LightOnBothKernelSetsToTheBit) {
  // Values below, inside and above the light's range, NaN and infinities,
  // over a count that leaves pixels for the one-at-a-time loop.
  if (!ProcessorHasAVX2()) GTEST_SKIP() << "no AVX2";
  std::vector<float> picture(3 * 1001);
  for (size_t i = 0; i < picture.size(); i++) picture[i] = (float)((i * 7919) % 1000) / 37.0f - 3.0f;
  picture[5] = std::numeric_limits<float>::quiet_NaN();
  picture[9] = std::numeric_limits<float>::infinity();
  picture[13] = -std::numeric_limits<float>::infinity();
  std::vector<float> plain(picture), avx(picture);
  FrameLight a, b;
  ToPqLight(plain.data(), 1001, 179.0, 1000.0, 0, &a);
  ToPqLight(avx.data(), 1001, 179.0, 1000.0, 1, &b);
  EXPECT_EQ(a.brightest, b.brightest);
  EXPECT_EQ(a.sum, b.sum);
  EXPECT_EQ(memcmp(plain.data(), avx.data(), plain.size() * sizeof(float)), 0);
}
