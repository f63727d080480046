// float2rgbe / rgbe2float: the hand-worked values, then properties checked
// over many inputs against arithmetic done independently here (ilogb and
// exact power-of-two scaling rather than frexp).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "rgbe.h"

namespace {

struct Px {
  unsigned char b[4];
};
Px Enc(float r, float g, float b) {
  Px p;
  memset(p.b, 0xAA, 4);  // every byte must be overwritten
  float2rgbe(p.b, r, g, b);
  return p;
}
#define EXPECT_PX(p, R, G, B, E) \
  do {                            \
    const Px p_ = (p);            \
    EXPECT_EQ(p_.b[0], R);        \
    EXPECT_EQ(p_.b[1], G);        \
    EXPECT_EQ(p_.b[2], B);        \
    EXPECT_EQ(p_.b[3], E);        \
  } while (0)

void Dec(const unsigned char (&in)[4], float out[3]) {
  out[0] = out[1] = out[2] = -99.0f;
  rgbe2float(&out[0], &out[1], &out[2], in);
}

const float kFloor = 9.99999997e-07f;

TEST(RgbePixel, WorkedValues) {
  EXPECT_PX(Enc(1.0f, 0.5f, 0.25f), 128, 64, 32, 129);
  EXPECT_PX(Enc(0.3f, 0.0f, 0.0f), 153, 0, 0, 127);  // 153.6 truncated
  EXPECT_PX(Enc(1e-6f, 1e-6f, 1e-6f), 134, 134, 134, 109);
  EXPECT_PX(Enc(1e-33f, 0.0f, 0.0f), 0, 0, 0, 0);
  EXPECT_PX(Enc(0.0f, 0.0f, 0.0f), 0, 0, 0, 0);

  float out[3];
  Dec({128, 64, 32, 129}, out);
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], 0.5f);
  EXPECT_EQ(out[2], 0.25f);
  Dec({153, 0, 0, 127}, out);
  EXPECT_EQ(out[0], 0.298828125f);
  EXPECT_EQ(out[1], kFloor);
  EXPECT_EQ(out[2], kFloor);
  Dec({200, 0, 0, 129}, out);
  EXPECT_EQ(out[0], 1.5625f);
  EXPECT_EQ(out[1], kFloor);
  EXPECT_EQ(out[2], kFloor);
  Dec({0, 0, 0, 0}, out);
  EXPECT_EQ(out[0], kFloor);
  EXPECT_EQ(out[1], kFloor);
  EXPECT_EQ(out[2], kFloor);
  // Exponent 0 means no energy whatever the mantissas say.
  Dec({255, 17, 3, 0}, out);
  EXPECT_EQ(out[0], kFloor);
  EXPECT_EQ(out[1], kFloor);
  EXPECT_EQ(out[2], kFloor);
}

TEST(RgbePixel, CutOffLargestComponentAndTruncation) {
  // The cut-off is compared in double: the smallest float at or above 1e-32
  // encodes, the float below it does not.
  float at = (float)1e-32;
  if ((double)at < 1e-32) at = nextafterf(at, 1.0f);
  const float below = nextafterf(at, 0.0f);
  EXPECT_EQ(Enc(at, 0, 0).b[3], std::ilogb(at) + 1 + 128);
  EXPECT_GE(Enc(at, 0, 0).b[0], 128);
  EXPECT_PX(Enc(below, below, below), 0, 0, 0, 0);
  EXPECT_PX(Enc(-5.0f, -1.0f, 0.0f), 0, 0, 0, 0);

  // The largest component may be any of the three.
  EXPECT_PX(Enc(0.25f, 1.0f, 0.5f), 32, 128, 64, 129);
  EXPECT_PX(Enc(0.25f, 0.5f, 1.0f), 32, 64, 128, 129);
  EXPECT_PX(Enc(3.0f, 3.0f, 3.0f), 192, 192, 192, 130);

  // 153.999 / 256 scaled by 256 stores 153, not 154.
  EXPECT_EQ(Enc(153.999f / 256.0f, 0.9f, 0.0f).b[0], 153);
  // Black does not survive a decode and a new encode.
  const unsigned char zero[4] = {0, 0, 0, 0};
  float f[3];
  Dec(zero, f);
  EXPECT_PX(Enc(f[0], f[1], f[2]), 134, 134, 134, 109);
}

TEST(RgbePixel, DecodeEveryExponentAndMantissa) {
  for (int e = 1; e < 256; e++) {
    for (int m = 0; m < 256; m++) {
      const unsigned char in[4] = {(unsigned char)m, (unsigned char)(255 - m),
                                   (unsigned char)((m * 7) & 255), (unsigned char)e};
      float out[3];
      Dec(in, out);
      for (int c = 0; c < 3; c++) {
        // mantissa x 2^(e - 136): exact in double and, being at most 8
        // significant bits at or above 2^-135, exact in float too.
        const float want = in[c] ? (float)std::ldexp((double)in[c], e - 136) : kFloor;
        ASSERT_EQ(out[c], want) << "e=" << e << " m=" << (int)in[c];
        ASSERT_GT(out[c], 0.0f);
      }
    }
  }
  // Exponent 1, mantissa 255: a subnormal float, 255 x 2^-135, not 0.
  float out[3];
  Dec({255, 0, 1, 1}, out);
  EXPECT_EQ(out[0], 255.0f * std::ldexp(1.0f, -135));
  EXPECT_EQ(out[2], std::ldexp(1.0f, -135));
}

TEST(RgbePixel, EncodeMatchesTruncatedScaling) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> expo(-106, 126);
  for (int i = 0; i < 200000; i++) {
    float c[3];
    const int top = expo(rng);
    for (int k = 0; k < 3; k++) {
      // Components spread over a few octaves below the top one, some zero.
      const int drop = (int)(unit(rng) * 12);
      c[k] = (unit(rng) < 0.05) ? 0.0f : (float)std::ldexp(unit(rng), top - drop);
    }
    const float mx = std::max(c[0], std::max(c[1], c[2]));
    const Px p = Enc(c[0], c[1], c[2]);
    if ((double)mx < 1e-32) {
      ASSERT_EQ(p.b[0] | p.b[1] | p.b[2] | p.b[3], 0);
      continue;
    }
    // The exponent e with 2^(e-1) <= max < 2^e.
    const int e = std::ilogb(mx) + 1;
    ASSERT_EQ(p.b[3], e + 128) << mx;
    for (int k = 0; k < 3; k++) {
      const double scaled = std::ldexp((double)c[k], 8 - e);  // exact
      ASSERT_EQ(p.b[k], (int)std::floor(scaled)) << c[k] << " of max " << mx;
    }
    ASSERT_GE(p.b[0] >= p.b[1] ? (p.b[0] >= p.b[2] ? p.b[0] : p.b[2])
                               : (p.b[1] >= p.b[2] ? p.b[1] : p.b[2]),
              128);
  }
}

}  // namespace
