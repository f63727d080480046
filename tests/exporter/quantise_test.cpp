// Gamma quantisation: the tables give the definition's samples, the player's
// upload bytes for gamma 1 at 8 bits, on both kernel sets, and pictures come
// out top row first at their column, 16-bit samples most significant first.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "exporter.h"
#include "render.h"

namespace {

float FloatOf(uint32_t b) {
  float v;
  memcpy(&v, &b, sizeof v);
  return v;
}

constexpr uint32_t ONE = 0x3F800000u;

// Tests that run each quantiser on both kernel sets: SSE2 always, AVX2 when
// the processor has it (`saved`, the kernel set BuildQuantiser chooses).
class KernelSets : public ::testing::Test {
 protected:
  int saved = ProcessorHasAVX2();
};

// Floats worth checking for a quantiser: every float within `around` of each
// threshold (where a wrong table would show), and a spread over (0, 1].
std::vector<float> Probes(const Quantiser &q, uint32_t around, uint32_t stride) {
  std::vector<float> probes;
  for (size_t level = 1; level + 1 < q.thresholds.size(); level++) {
    const uint32_t t = q.thresholds[level];
    for (uint32_t b = t > around ? t - around : 0; b <= t + around && b <= ONE; b++) probes.push_back(FloatOf(b));
  }
  for (uint32_t b = 0; b <= ONE; b += stride) probes.push_back(FloatOf(b));
  const float specials[] = {0.0f, -0.0f, 1.0f, 1.0000001f, 2.0f, 1e30f, -1e-30f, -0.5f,
                            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min()};
  probes.insert(probes.end(), std::begin(specials), std::end(specials));
  return probes;
}

// The definition the quantiser stands for: its gamma, or the PQ curve.
uint32_t Definition(const Quantiser &q, float v) {
  return q.pq ? PqSampleByDefinition(v) : QuantiseByDefinition(q.gamma, q.depth, v);
}

// Every probe through Quantise and through QuantisePicture (one row of
// probes, on the kernel set in use) against the definition.
void ExpectDefinition(const Quantiser &q, const std::vector<float> &probes) {
  size_t wrong = 0;
  for (float v : probes) {
    const uint32_t want = Definition(q, v);
    if (Quantise(q, v) != want && wrong++ < 10)
      ADD_FAILURE() << "gamma " << q.gamma << ", " << q.depth << " bits: " << v << " gives " << Quantise(q, v)
                    << ", the definition " << want;
  }
  // The probes as a picture one pixel high (padded to whole pixels).
  std::vector<float> row(probes);
  while (row.size() % 3) row.push_back(0.5f);
  const int width = (int)(row.size() / 3);
  const size_t bytes = q.depth == 16 ? 2 : 1;
  std::vector<unsigned char> samples(row.size() * bytes);
  QuantisePicture(q, row.data(), width, 1, samples.data(), samples.size(), 0);
  for (size_t i = 0; i < probes.size(); i++) {
    const uint32_t got = bytes == 2 ? (uint32_t)samples[2 * i] << 8 | samples[2 * i + 1] : samples[i];
    const uint32_t want = Definition(q, probes[i]);
    if (got != want && wrong++ < 20)
      ADD_FAILURE() << "picture, gamma " << q.gamma << ", " << q.depth << " bits, avx " << q.avx << ": "
                    << probes[i] << " gives " << got << ", the definition " << want;
  }
  EXPECT_EQ(wrong, 0u);
}

}  // namespace

TEST(Quantise, DefinitionAtKnownValues) {
  // round(255 x 0.5^(1 / 2.2)) = round(186.08...) and the like, worked out
  // by hand; the top and the bottom; the clamps.
  EXPECT_EQ(QuantiseByDefinition(2.2, 8, 0.5f), 186u);
  EXPECT_EQ(QuantiseByDefinition(2.2, 8, 0.25f), 136u);    // 255 x 0.5325 = 135.8
  EXPECT_EQ(QuantiseByDefinition(2.2, 16, 0.5f), 47824u);  // 65535 x 0.729740 = 47823.51
  EXPECT_EQ(QuantiseByDefinition(2.0, 8, 0.25f), 128u);    // 255 x 0.5 = 127.5: ties to even
  EXPECT_EQ(QuantiseByDefinition(2.0, 8, 0.5625f), 191u);  // 255 x 0.75 = 191.25
  EXPECT_EQ(QuantiseByDefinition(1.0, 16, 0.5f), 32768u); // 32767.5: ties to even
  EXPECT_EQ(QuantiseByDefinition(1.0, 16, 0.25f), 16384u); // 16383.75
  EXPECT_EQ(QuantiseByDefinition(2.2, 8, 1.0f), 255u);
  EXPECT_EQ(QuantiseByDefinition(2.2, 8, 7.5f), 255u);
  EXPECT_EQ(QuantiseByDefinition(2.2, 8, 0.0f), 0u);
  EXPECT_EQ(QuantiseByDefinition(2.2, 8, -3.0f), 0u);
  EXPECT_EQ(QuantiseByDefinition(2.2, 16, std::numeric_limits<float>::quiet_NaN()), 0u);
  EXPECT_EQ(QuantiseByDefinition(2.2, 16, std::numeric_limits<float>::infinity()), 65535u);
}

TEST(Quantise, RefusesOtherDepthsAndGammas) {
  Quantiser q;
  EXPECT_EQ(BuildQuantiser(&q, 2.2, 12), -1);
  EXPECT_EQ(BuildQuantiser(&q, 0.0, 8), -1);
  EXPECT_EQ(BuildQuantiser(&q, 0.09, 8), -1);
  EXPECT_EQ(BuildQuantiser(&q, 10.5, 16), -1);
  EXPECT_EQ(BuildQuantiser(&q, std::numeric_limits<double>::quiet_NaN(), 8), -1);
  EXPECT_EQ(BuildQuantiser(&q, MIN_EXPORT_GAMMA, 8), 0);
  EXPECT_EQ(BuildQuantiser(&q, MAX_EXPORT_GAMMA, 16), 0);
}

TEST_F(KernelSets, Gamma1At8BitsIsThePlayersUploadForEveryFloatUpToOne) {
  // Every float from 2^-9 to 1 (below 2^-9 every byte is 0: there every
  // 61st float), and the specials: the byte GL shows.
  Quantiser q;
  ASSERT_EQ(BuildQuantiser(&q, 1.0, 8), 0);
  const uint32_t from = 0x3B000000u;  // 2^-9
  const uint32_t count = ONE + 1 - from + from / 61;
  std::vector<float> floats(1 << 20);
  std::vector<unsigned char> bytes(floats.size());
  for (int avx = 0; avx <= saved; avx++) {
    q.avx = avx;
    size_t wrong = 0;
    for (uint32_t start = 0; start < count; start += (uint32_t)floats.size()) {
      const uint32_t n = std::min<uint32_t>((uint32_t)floats.size(), count - start);
      for (uint32_t i = 0; i < n; i++) {
        const uint32_t k = start + i;
        floats[i] = FloatOf(k < from / 61 ? 61 * k : from + (k - from / 61));
      }
      const uint32_t pixels = n / 3, whole = 3 * pixels;
      QuantisePicture(q, floats.data(), (int)pixels, 1, bytes.data(), whole, 0);
      for (uint32_t i = 0; i < whole; i++)
        if (bytes[i] != DisplayByte(floats[i]) && wrong++ < 10)
          ADD_FAILURE() << "avx " << avx << ": " << floats[i] << " gives " << (int)bytes[i] << ", GL "
                        << (int)DisplayByte(floats[i]);
      for (uint32_t i = whole; i < n; i++)
        if (Quantise(q, floats[i]) != DisplayByte(floats[i])) wrong++;
    }
    EXPECT_EQ(wrong, 0u) << "avx " << avx;
    ExpectDefinition(q, Probes(q, 0, 1 << 16));
  }
}

TEST_F(KernelSets, TablesGiveTheDefinitionAroundEveryThreshold) {
  struct Case {
    double gamma;
    int depth;
    uint32_t around;
  };
  // Display gammas and others, above and below 1, at both depths; 16 bits
  // has 65535 thresholds, looked at more closely in the 8-bit cases.
  const Case cases[] = {{2.2, 8, 300}, {1.8, 8, 300}, {2.4, 8, 300}, {0.45, 8, 300}, {0.1, 8, 50},
                        {10.0, 8, 50}, {2.2, 16, 12}, {1.0, 16, 0},  {0.5, 16, 4}};
  for (const Case &c : cases) {
    Quantiser q;
    ASSERT_EQ(BuildQuantiser(&q, c.gamma, c.depth), 0);
    // The thresholds are where the definition changes: below one the level
    // is less, at it no less.
    for (size_t level = 1; level + 1 < q.thresholds.size(); level++) {
      const uint32_t t = q.thresholds[level];
      ASSERT_GE(QuantiseByDefinition(c.gamma, c.depth, FloatOf(t)), level) << c.gamma << " " << level;
      if (t > 0) {
        ASSERT_LT(QuantiseByDefinition(c.gamma, c.depth, FloatOf(t - 1)), level) << c.gamma << " " << level;
      }
    }
    const std::vector<float> probes = Probes(q, c.around, 1 << 14);
    for (int avx = 0; avx <= saved; avx++) {
      q.avx = avx;
      SCOPED_TRACE(testing::Message() << "gamma " << c.gamma << ", " << c.depth << " bits, avx " << avx);
      ExpectDefinition(q, probes);
    }
  }
}

TEST_F(KernelSets, PqTableGivesTheDefinition) {
  Quantiser q;
  BuildPqQuantiser(&q);
  ASSERT_TRUE(q.pq);
  // Each threshold is where the curve's sample changes.
  for (size_t level = 1; level + 1 < q.thresholds.size(); level += 7) {
    const uint32_t t = q.thresholds[level];
    ASSERT_GE(PqSampleByDefinition(FloatOf(t)), level) << level;
    ASSERT_LT(PqSampleByDefinition(FloatOf(t - 1)), level) << level;
  }
  const std::vector<float> probes = Probes(q, 2, 1 << 12);
  for (int avx = 0; avx <= saved; avx++) {
    q.avx = avx;
    SCOPED_TRACE(testing::Message() << "PQ, avx " << avx);
    ExpectDefinition(q, probes);
  }
}

TEST_F(KernelSets, RandomFloatsAtTheDisplayGamma) {
  std::mt19937 random(13);
  std::uniform_int_distribution<uint32_t> bits(0, 0xFFFFFFFFu);
  std::vector<float> probes(3 * 100003);
  for (float &v : probes) v = FloatOf(bits(random) % (ONE + 0x100000u));  // some beyond 1 too
  for (const int depth : {8, 16}) {
    Quantiser q;
    ASSERT_EQ(BuildQuantiser(&q, DISPLAY_GAMMA, depth), 0);
    for (int avx = 0; avx <= saved; avx++) {
      q.avx = avx;
      ExpectDefinition(q, probes);
    }
  }
}

TEST(Quantise, PicturesTopRowFirstAtTheirColumn) {
  // Two pictures of 3 x 2 pixels side by side in a row of 6: each value
  // tells its picture, row, pixel and component apart.
  const int W = 3, H = 2;
  Quantiser q8, q16;
  ASSERT_EQ(BuildQuantiser(&q8, 1.0, 8), 0);
  ASSERT_EQ(BuildQuantiser(&q16, 2.2, 16), 0);
  std::vector<float> left(3 * W * H), right(3 * W * H);
  for (size_t i = 0; i < left.size(); i++) {
    left[i] = (float)(i + 1) / 64.0f;
    right[i] = (float)(i + 20) / 64.0f;
  }
  for (const Quantiser *q : {&q8, &q16}) {
    const size_t bytes = q->depth == 16 ? 2 : 1, stride = 3 * 2 * W * bytes;
    std::vector<unsigned char> samples(stride * H, 0xAA);
    QuantisePicture(*q, left.data(), W, H, samples.data(), stride, 0);
    QuantisePicture(*q, right.data(), W, H, samples.data(), stride, W);
    for (int y = 0; y < H; y++)  // row y from the bottom is row H - 1 - y from the top
      for (int x = 0; x < 2 * W; x++)
        for (int c = 0; c < 3; c++) {
          const std::vector<float> &picture = x < W ? left : right;
          const float v = picture[3 * ((size_t)y * W + x % W) + c];
          const size_t at = (size_t)(H - 1 - y) * stride + (3 * (size_t)x + c) * bytes;
          const uint32_t got = bytes == 2 ? (uint32_t)samples[at] << 8 | samples[at + 1] : samples[at];
          EXPECT_EQ(got, QuantiseByDefinition(q->gamma, q->depth, v)) << x << " " << y << " " << c;
        }
  }
}
