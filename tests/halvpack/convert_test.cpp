// Float colours to RGBE pixels and RGBE pixels to records: the builder's
// conversion against the codec's float2rgbe, the clamping of values RGBE
// cannot hold and its counts, and the encoder against statistics and
// encodings worked out here pixel by pixel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "builder.h"
#include "rgbe.h"

namespace {

using Pixel = std::array<unsigned char, 4>;

Pixel Float2rgbe(float r, float g, float b) {
  Pixel p;
  float2rgbe(p.data(), r, g, b);
  return p;
}

Pixel Convert(float r, float g, float b, OutOfRange *range) {
  const float rgb[3] = {r, g, b};
  Pixel p;
  ConvertFloats(rgb, 3, 1, p.data(), range);
  return p;
}

float FromBits(uint32_t bits) {
  float f;
  memcpy(&f, &bits, 4);
  return f;
}

TEST(ConvertFloats, EncodesEveryValueRgbeHoldsAsFloat2rgbe) {
  // One colour at a time here (the AVX2 code is held to this code below).
  UseAVX2Conversion(false);
  std::mt19937 rng(5);
  // Random bit patterns of non-negative floats up to the largest RGBE value,
  // subnormals and the cut-off region included, and values near powers of 2.
  std::uniform_int_distribution<uint32_t> bits(0, 0x7eff0000u);
  std::uniform_int_distribution<int> pick(0, 9);
  OutOfRange range = {0, 0};
  for (int i = 0; i < 2000000; i++) {
    float c[3];
    for (float &v : c) {
      switch (pick(rng)) {
        case 0:
          v = 0.0f;
          break;
        case 1:
          v = FromBits(bits(rng) & 0x007fffffu);  // subnormal
          break;
        case 2:
          v = std::ldexp(1.0f, (int)(bits(rng) % 250) - 140);
          v = std::nextafter(v, (bits(rng) & 1) ? 0.0f : INFINITY);
          break;
        default:
          v = FromBits(bits(rng));
      }
      if (v > RGBE_LARGEST) v = RGBE_LARGEST;
    }
    ASSERT_EQ(Convert(c[0], c[1], c[2], &range), Float2rgbe(c[0], c[1], c[2]))
        << c[0] << " " << c[1] << " " << c[2];
  }
  EXPECT_EQ(range.zeroed, 0u);
  EXPECT_EQ(range.saturated, 0u);
  UseAVX2Conversion(true);
}

TEST(ConvertFloats, ClampsAndCountsValuesRgbeCannotHold) {
  const float inf = INFINITY, nan = NAN;
  struct Case {
    float r, g, b;
    float cr, cg, cb;  // after clamping
    uint64_t zeroed, saturated;
  } cases[] = {
      {-1.0f, 0.5f, 0.25f, 0.0f, 0.5f, 0.25f, 1, 0},
      {nan, 1.0f, 1.0f, 0.0f, 1.0f, 1.0f, 1, 0},
      {-nan, -inf, 2.0f, 0.0f, 0.0f, 2.0f, 1, 0},
      {inf, 1.0f, 0.0f, RGBE_LARGEST, 1.0f, 0.0f, 0, 1},
      {3e38f, 3.4e38f, 1e38f, RGBE_LARGEST, RGBE_LARGEST, 1e38f, 0, 1},
      {std::nextafter(RGBE_LARGEST, inf), 0.0f, 0.0f, RGBE_LARGEST, 0.0f, 0.0f, 0, 1},
      {RGBE_LARGEST, 1.0f, 0.0f, RGBE_LARGEST, 1.0f, 0.0f, 0, 0},
      {-0.0f, 1.0f, -0.0f, 0.0f, 1.0f, 0.0f, 0, 0},
      {-1e-30f, inf, 1.0f, 0.0f, RGBE_LARGEST, 1.0f, 1, 1},
      {-1e-45f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1, 0},
  };
  for (const Case &c : cases) {
    OutOfRange range = {0, 0};
    SCOPED_TRACE(testing::Message() << c.r << " " << c.g << " " << c.b);
    EXPECT_EQ(Convert(c.r, c.g, c.b, &range), Float2rgbe(c.cr, c.cg, c.cb));
    EXPECT_EQ(range.zeroed, c.zeroed);
    EXPECT_EQ(range.saturated, c.saturated);
  }
  // The largest value is mantissa 255 at exponent 255.
  OutOfRange range = {0, 0};
  EXPECT_EQ(Convert(inf, inf, inf, &range), (Pixel{255, 255, 255, 255}));
}

TEST(ConvertFloats, StrideAndGreys) {
  const float rgba[8] = {1.0f, 0.5f, 0.25f, 99.0f, -2.0f, 4.0f, 8.0f, -99.0f};
  unsigned char out[8];
  OutOfRange range = {0, 0};
  ConvertFloats(rgba, 4, 2, out, &range);
  EXPECT_EQ(Pixel({out[0], out[1], out[2], out[3]}), Float2rgbe(1.0f, 0.5f, 0.25f));
  EXPECT_EQ(Pixel({out[4], out[5], out[6], out[7]}), Float2rgbe(0.0f, 4.0f, 8.0f));
  EXPECT_EQ(range.zeroed, 1u);

  const float greys[3] = {0.75f, NAN, INFINITY};
  unsigned char grey_out[12];
  range = {0, 0};
  ConvertGreys(greys, 3, grey_out, &range);
  EXPECT_EQ(Pixel({grey_out[0], grey_out[1], grey_out[2], grey_out[3]}), Float2rgbe(0.75f, 0.75f, 0.75f));
  EXPECT_EQ(Pixel({grey_out[4], grey_out[5], grey_out[6], grey_out[7]}), (Pixel{0, 0, 0, 0}));
  EXPECT_EQ(Pixel({grey_out[8], grey_out[9], grey_out[10], grey_out[11]}), (Pixel{255, 255, 255, 255}));
  EXPECT_EQ(range.zeroed, 1u);
  EXPECT_EQ(range.saturated, 1u);
}

// A half float's value, worked out from its fields.
float HalfValue(uint16_t h) {
  const int exponent = (h >> 10) & 0x1f, mantissa = h & 0x3ff;
  const float sign = (h & 0x8000) ? -1.0f : 1.0f;
  if (exponent == 0x1f) return mantissa ? NAN : sign * INFINITY;
  if (exponent == 0) return sign * std::ldexp((float)mantissa, -24);
  return sign * std::ldexp((float)(mantissa | 0x400), exponent - 25);
}

struct Converted {
  std::vector<unsigned char> rgbe;
  OutOfRange range;
};

// Floats of every kind: ordinary, tiny, huge, zero of both signs, NaN,
// infinities, negative, above the largest RGBE value.
std::vector<float> WildFloats(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> bits;
  std::uniform_int_distribution<int> pick(0, 19);
  const float specials[] = {0.0f, -0.0f, NAN, -NAN, INFINITY, -INFINITY, -1.0f, 3e38f, RGBE_LARGEST,
                            std::nextafter(RGBE_LARGEST, INFINITY), 1e-32f, 1e-33f, 1e-45f, 1.0f};
  std::vector<float> out(n);
  for (float &v : out) {
    const int k = pick(rng);
    if (k < 3)
      v = specials[bits(rng) % (sizeof(specials) / sizeof(specials[0]))];
    else if (k < 6)
      v = FromBits(bits(rng));
    else
      v = std::exp2((float)(bits(rng) % 4000) / 100.0f - 20.0f);
  }
  return out;
}

TEST(ConvertFloats, EightAtATimeAsOneAtATime) {
  const bool avx2 = UseAVX2Conversion(true);
  if (!avx2) GTEST_SKIP() << "no AVX2 here: only the plain code runs";
  for (size_t n : {0u, 1u, 7u, 8u, 9u, 23u, 24u, 1000u, 4099u}) {
    SCOPED_TRACE(n);
    // Mostly ordinary pixels, so that whole groups of eight take the fast
    // path, and every kind of value in between.
    std::vector<float> rgb = WildFloats(3 * n, (unsigned)n);
    for (size_t i = 0; i < rgb.size(); i++)
      if (i % 97 > 4) rgb[i] = std::fabs(rgb[i]) < RGBE_LARGEST ? std::fabs(rgb[i]) : 1.0f;
    std::vector<uint16_t> halves(3 * n);
    std::mt19937 rng((unsigned)n + 1);
    for (uint16_t &h : halves) h = (uint16_t)(rng() % 3 ? rng() & 0x7bff : rng());
    Converted got[2][3];
    for (int on = 0; on < 2; on++) {
      UseAVX2Conversion(on == 1);
      for (auto &c : got[on]) {
        c.rgbe.assign(4 * n + 4, 0xEE);
        c.range = {0, 0};
      }
      ConvertFloats(rgb.data(), 3, n, got[on][0].rgbe.data(), &got[on][0].range);
      ConvertGreys(rgb.data(), n, got[on][1].rgbe.data(), &got[on][1].range);
      ConvertHalves(halves.data(), n, got[on][2].rgbe.data(), &got[on][2].range);
    }
    UseAVX2Conversion(true);
    for (int kind = 0; kind < 3; kind++) {
      EXPECT_EQ(got[0][kind].rgbe, got[1][kind].rgbe) << kind;
      EXPECT_EQ(got[0][kind].range.zeroed, got[1][kind].range.zeroed) << kind;
      EXPECT_EQ(got[0][kind].range.saturated, got[1][kind].range.saturated) << kind;
      EXPECT_EQ(got[1][kind].rgbe[4 * n], 0xEE) << "written past the end";
    }
  }
}

TEST(ConvertHalves, EveryHalfAsTheFloatOfItsValue) {
  // Each half value in each component, beside two others: the same bytes
  // and counts as the floats of the values, with either code.
  for (bool avx2 : {false, true}) {
    if (avx2 && !UseAVX2Conversion(true)) continue;
    UseAVX2Conversion(avx2);
    std::vector<uint16_t> halves;
    std::vector<float> floats;
    for (uint32_t h = 0; h < 0x10000; h++) {
      const uint16_t triple[3] = {(uint16_t)h, (uint16_t)(h * 7919u), (uint16_t)(0x3c00 + (h & 0xff))};
      for (int k = 0; k < 3; k++) {
        halves.push_back(triple[(k + h) % 3]);
        floats.push_back(HalfValue(triple[(k + h) % 3]));
      }
    }
    const size_t n = halves.size() / 3;
    Converted from_halves, from_floats;
    from_halves.rgbe.resize(4 * n);
    from_floats.rgbe.resize(4 * n);
    from_halves.range = from_floats.range = {0, 0};
    ConvertHalves(halves.data(), n, from_halves.rgbe.data(), &from_halves.range);
    ConvertFloats(floats.data(), 3, n, from_floats.rgbe.data(), &from_floats.range);
    EXPECT_EQ(from_halves.rgbe, from_floats.rgbe) << (avx2 ? "AVX2" : "plain");
    EXPECT_EQ(from_halves.range.zeroed, from_floats.range.zeroed);
    EXPECT_EQ(from_halves.range.saturated, from_floats.range.saturated);
    EXPECT_GT(from_halves.range.zeroed, 0u);
    EXPECT_GT(from_halves.range.saturated, 0u);
  }
  UseAVX2Conversion(true);
}

std::string Report(uint64_t zeroed, uint64_t saturated) {
  char *text = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&text, &size);
  ReportOutOfRange(OutOfRange{zeroed, saturated}, stream);
  fclose(stream);
  std::string out(text, size);
  free(text);
  return out;
}

TEST(ConvertFloats, ReportLine) {
  EXPECT_EQ(Report(0, 0), "");
  EXPECT_EQ(Report(3, 0),
            "Values RGBE cannot hold: 3 pixels negative or NaN set to 0, 0 pixels above 1.69477e+38 set to it\n");
  EXPECT_EQ(Report(0, 12345678901ull),
            "Values RGBE cannot hold: 0 pixels negative or NaN set to 0, 12345678901 pixels above 1.69477e+38 "
            "set to it\n");
}

// ------------------------------------------------------------------ records

// A record worked out here: every pixel decoded by the RGBE rule (mantissa
// x 2^(exponent - 136), a zero mantissa or exponent giving 1e-6), its
// luminance and logarithm summed in the pixels' order, the decoded colour
// encoded again with float2rgbe, the rows stored bottom first.
struct Expected {
  std::vector<unsigned char> pixels;
  double maxLum, logAv;
};

Expected Reference(const std::vector<unsigned char> &rgbe, int width, int height) {
  Expected e;
  e.pixels.resize(rgbe.size());
  e.maxLum = 0.0;
  double sum = 0.0;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      const unsigned char *p = &rgbe[4 * ((size_t)y * width + x)];
      float c[3];
      for (int k = 0; k < 3; k++)
        c[k] = p[3] == 0 || p[k] == 0 ? 1e-6f : (float)std::ldexp((double)p[k], p[3] - 136);
      const double lum = 0.2126 * (double)c[0] + 0.7152 * (double)c[1] + 0.0722 * (double)c[2];
      if (lum > e.maxLum) e.maxLum = lum;
      sum += log(lum + 0.000023);
      float2rgbe(&e.pixels[4 * ((size_t)(height - 1 - y) * width + x)], c[0], c[1], c[2]);
    }
  }
  e.logAv = exp(sum / ((double)width * height));
  return e;
}

// A picture of runs, repeats and noise, every exponent and zero mantissas.
std::vector<unsigned char> Picture(int width, int height, unsigned seed, bool noise) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255), len(1, 9);
  std::vector<unsigned char> out;
  std::vector<unsigned char> palette;
  for (int i = 0; i < 4 * 40; i++) palette.push_back((unsigned char)byte(rng));
  while (out.size() < 4 * (size_t)width * height) {
    unsigned char px[4];
    if (noise) {
      for (unsigned char &b : px) b = (unsigned char)byte(rng);
    } else {
      memcpy(px, &palette[4 * (byte(rng) % 40)], 4);
    }
    if (byte(rng) < 20) px[byte(rng) % 3] = 0;
    if (byte(rng) < 5) px[3] = 0;
    for (int n = noise ? 1 : len(rng); n > 0; n--) out.insert(out.end(), px, px + 4);
  }
  out.resize(4 * (size_t)width * height);
  return out;
}

void Encode(ColourTable *table, const std::vector<unsigned char> &rgbe, int width, int height, int band,
            std::vector<unsigned char> *pixels, double *maxLum, double *logAv) {
  pixels->assign(rgbe.size(), 0xEE);
  RecordEncoder record;
  StartRecord(&record, table, width, height, pixels->data());
  for (int y = 0; y < height; y += band)
    EncodeRows(&record, &rgbe[4 * (size_t)y * width], std::min(band, height - y));
  FinishRecord(&record, maxLum, logAv);
}

TEST(RecordEncoder, MatchesThePixelByPixelRecordForAnyBandsAndTables) {
  ColourTablePtr used = CreateColourTable();
  for (bool noise : {false, true}) {
    for (auto size : {std::pair<int, int>{37, 11}, {300, 40}, {1, 1}, {8, 3}}) {
      const int w = size.first, h = size.second;
      SCOPED_TRACE(testing::Message() << w << "x" << h << (noise ? " noise" : ""));
      const std::vector<unsigned char> rgbe = Picture(w, h, (unsigned)(w * 31 + h + noise), noise);
      const Expected e = Reference(rgbe, w, h);
      for (int band : {1, 3, 7, 1000}) {
        ColourTablePtr fresh = CreateColourTable();
        for (ColourTable *table : {fresh.get(), used.get()}) {
          std::vector<unsigned char> pixels;
          double maxLum, logAv;
          Encode(table, rgbe, w, h, band, &pixels, &maxLum, &logAv);
          EXPECT_EQ(pixels, e.pixels);
          EXPECT_EQ(maxLum, e.maxLum);
          EXPECT_EQ(logAv, e.logAv);
        }
      }
    }
  }
}

TEST(RecordEncoder, RowsPastThePictureAreIgnored) {
  const std::vector<unsigned char> rgbe = Picture(9, 4, 3, false);
  std::vector<unsigned char> twice = rgbe;
  twice.insert(twice.end(), rgbe.begin(), rgbe.end());
  ColourTablePtr table = CreateColourTable();
  std::vector<unsigned char> pixels(rgbe.size());
  RecordEncoder record;
  StartRecord(&record, table.get(), 9, 4, pixels.data());
  EncodeRows(&record, twice.data(), 8);
  double maxLum, logAv;
  FinishRecord(&record, &maxLum, &logAv);
  const Expected e = Reference(rgbe, 9, 4);
  EXPECT_EQ(pixels, e.pixels);
  EXPECT_EQ(logAv, e.logAv);
}

}  // namespace
