// The player's decoding, tone mapping and output against the plain
// transcription in reference.h, bit for bit, on random pictures of many
// sizes (multiples of 3 and not), smooth and rough content, exposures and
// bias values, over several frames so that the adaptation carries over.
// Every case runs on each kernel set and at several thread counts: the
// work split among threads must give the one-thread bits.
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core_fixture.h"
#include "pool.h"
#include "reference.h"

namespace {

enum class Content { kSmooth, kRough, kMixed };

const char *Name(Content c) {
  return c == Content::kSmooth ? "smooth" : c == Content::kRough ? "rough" : "mixed";
}

// Random RGBE pixels. Smooth content varies slowly, so that most blocks
// pass the smoothness test; rough content has a random exponent per pixel.
// Mixed content alternates patches of both and sprinkles the special
// pixels: no energy (exponent 0), zero mantissas, a zero blue under equal
// red and green, extreme exponents and ties of the largest component.
std::vector<uint8_t> RandomPicture(int W, int H, Content content, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto uniform = [&](int lo, int hi) { return lo + (int)(rng() % (uint64_t)(hi - lo + 1)); };
  std::vector<uint8_t> px(4 * (size_t)W * H);
  const int base = uniform(120, 134);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      uint8_t *p = &px[4 * ((size_t)y * W + x)];
      bool rough = content == Content::kRough;
      if (content == Content::kMixed) rough = ((x / 7) + (y / 5)) % 2 == 1;
      if (rough) {
        p[3] = (uint8_t)uniform(base - 8, base + 10);
        for (int i = 0; i < 3; i++) p[i] = (uint8_t)uniform(0, 255);
      } else {
        p[3] = (uint8_t)(base + (x + 2 * y) / 23 % 3);
        const int m = 128 + (x * 3 + y * 5) % 90;
        for (int i = 0; i < 3; i++) p[i] = (uint8_t)(m - 20 * i + uniform(0, 3));
      }
      if (content == Content::kMixed) {
        const int special = uniform(0, 99);
        if (special == 0) {
          p[0] = p[1] = p[2] = (uint8_t)uniform(0, 255);
          p[3] = 0;
        } else if (special == 1) {
          p[0] = p[1] = p[2] = 0;
        } else if (special == 2) {
          p[1] = p[0];
          p[2] = 0;
        } else if (special == 3) {
          p[3] = (uint8_t)uniform(1, 12);
        } else if (special == 4) {
          p[3] = (uint8_t)uniform(170, 200);
        } else if (special == 5) {  // ties of the largest component
          p[1] = p[0];
          p[2] = (uint8_t)(p[0] / 3);
        } else if (special == 6) {
          p[2] = p[0];
          p[1] = (uint8_t)(p[0] / 2);
        } else if (special == 7) {
          p[2] = p[1];
          p[0] = (uint8_t)(p[1] / 5);
        }
      }
    }
  return px;
}

// The builder's scene statistics of a decoded picture.
void Statistics(const float *flt, size_t n, double *maxLum, double *logAv) {
  double mx = 0.0, sum = 0.0;
  for (size_t k = 0; k < n; k++) {
    const double L = 0.2126 * flt[3 * k] + 0.7152 * flt[3 * k + 1] + 0.0722 * flt[3 * k + 2];
    if (L > mx) mx = L;
    sum += std::log(L + 0.000023);
  }
  *maxLum = mx;
  *logAv = std::exp(sum / (double)n);
}

template <typename T>
::testing::AssertionResult SameBits(const T *got, const T *want, size_t n, const char *what) {
  for (size_t i = 0; i < n; i++)
    if (memcmp(&got[i], &want[i], sizeof(T)) != 0)
      return ::testing::AssertionFailure()
             << what << " differs at " << i << ": " << std::hexfloat << (double)got[i] << " instead of "
             << (double)want[i];
  return ::testing::AssertionSuccess();
}

struct Case {
  int W, H;
  Content content;
  float stops;
  float bias;
};

std::string Describe(const Case &c) {
  return std::to_string(c.W) + "x" + std::to_string(c.H) + " " + Name(c.content) + " exposure " +
         std::to_string(c.stops) + " bias " + std::to_string(c.bias);
}

// Every case runs twice: with the SSE2 kernels and, where the processor
// has it, with the AVX2 ones.

// (kernel set: 0 SSE2, 1 AVX2; threads)
using KernelsAndThreads = std::tuple<int, unsigned>;

class ReferenceTest : public CoreTest, public ::testing::WithParamInterface<KernelsAndThreads> {
 protected:
  void SetUp() override {
    if (std::get<0>(GetParam()) == 1 && !ProcessorHasAVX2()) GTEST_SKIP() << "the processor has no AVX2";
    const unsigned threads = std::get<1>(GetParam());
    if (threads > 1) pool.reset(new WorkerPool(threads));
  }
  void TearDown() override {
    CoreTest::TearDown();  // stops any preparation before the pool goes
    pool.reset();
  }
  // Takes a session, on the kernels and the threads of the case.
  void Use(std::unique_ptr<Session> s) {
    session = std::move(s);
    session->settings.avx = std::get<0>(GetParam());
    session->pool = pool.get();
  }

  std::unique_ptr<WorkerPool> pool;

  // Three frames through LoadFrame, Tonemapping and PixelOutTmo, and the
  // plain path, in the player and in the reference.
  void Check(const Case &c, uint64_t seed) {
    SCOPED_TRACE(Describe(c));
    Use(SetUpPlayer(c.W, c.H));
    session->settings.exposure = c.stops;
    session->settings.biasParam = c.bias;
    const size_t n = (size_t)c.W * c.H;
    std::vector<double> lum(n);
    std::vector<float> flt(3 * n), out(3 * n);
    double adapted = 0.0;
    for (int frame = 0; frame < 3; frame++) {
      SCOPED_TRACE(frame);
      const std::vector<uint8_t> px = RandomPicture(c.W, c.H, c.content, seed + frame);
      memcpy(session->shown->rgbe, px.data(), px.size());
      LoadFrame(session.get());
      ref::LoadFrame(px.data(), n, c.stops, lum.data(), flt.data());
      ASSERT_TRUE(SameBits(session->scratch.fframe, flt.data(), 3 * n, "decoded colour"));
      ASSERT_TRUE(SameBits(session->scratch.lum, lum.data(), n, "luminance"));

      double maxLum, logAvg;
      Statistics(flt.data(), n, &maxLum, &logAvg);
      if (frame == 2) maxLum *= 0.25;  // stored statistics need not fit the pixels
      Tonemapping(session.get(), maxLum, logAvg);
      ref::Tonemapping(lum.data(), c.W, c.H, maxLum, logAvg, c.bias, adapted);
      ASSERT_EQ(session->adapted[0], adapted);
      ASSERT_TRUE(SameBits(session->scratch.lum, lum.data(), n, "display luminance"));

      PixelOutTmo(session.get());
      ref::PixelOutTmo(lum.data(), flt.data(), n, out.data());
      ASSERT_TRUE(SameBits(Out(), out.data(), 3 * n, "tone-mapped output"));

      // The display bytes, shared out like the rest, one by one here.
      std::vector<unsigned char> bytes(DISPLAY_PIXEL_BYTES * n);
      DisplayBytes(Conversion(session.get()), Out(), bytes.data());
      for (size_t i = 0; i < 3 * n; i++) ASSERT_EQ(DisplayComponent(bytes.data(), i / 3, i % 3), DisplayByte(Out()[i])) << i;
      for (size_t k = 0; k < n; k++) ASSERT_EQ(bytes[DISPLAY_PIXEL_BYTES * k + 3], 255) << k;

      PixelOut(session.get());
      ref::PixelOut(flt.data(), n, c.stops, out.data());
      ASSERT_TRUE(SameBits(Out(), out.data(), 3 * n, "plain output"));
    }
  }
};

TEST_P(ReferenceTest, SmallAndOddSizesMatchBitForBit) {
  const int sizes[][2] = {{1, 1},   {2, 2},   {3, 3},   {4, 5},   {5, 4},   {16, 16},
                          {17, 16}, {16, 17}, {18, 18}, {31, 29}, {64, 48}, {98, 97}};
  uint64_t seed = 1;
  for (const auto &s : sizes)
    for (Content content : {Content::kSmooth, Content::kRough, Content::kMixed})
      for (float stops : {0.0f, -1.0f, 1.5f, 3.25f})
        for (float bias : {0.85f, 0.71f, 0.99f, 0.5f}) {
          Check({s[0], s[1], content, stops, bias}, seed);
          seed += 7;
          if (HasFatalFailure()) return;
        }
}

TEST_P(ReferenceTest, VideoSizedPicturesMatchBitForBit) {
  Check({720, 486, Content::kMixed, 0.0f, 0.85f}, 1234);
  Check({721, 487, Content::kMixed, -0.5f, 0.93f}, 99);
  Check({200, 113, Content::kRough, 2.0f, 0.77f}, 5);
  Check({202, 112, Content::kSmooth, 0.25f, 0.85f}, 6);
}

TEST_P(ReferenceTest, RepeatedLuminancesFollowTheBiasAndTheFrame) {
  // A picture of a few colours, so the same normalised luminance comes
  // back many times in a frame, and again in the next frames under another
  // bias or another adaptation: every frame must still equal the plain
  // computation (nothing of an earlier frame's bias or average survives).
  const int W = 60, H = 33;
  Use(SetUpPlayer(W, H));
  session->settings.tmo = 1;
  const size_t n = session->movie.npixels;
  std::vector<uint8_t> px(4 * n);
  const uint8_t colours[5][4] = {{200, 180, 90, 130}, {40, 60, 200, 128}, {250, 250, 250, 136},
                                 {90, 90, 30, 120}, {128, 0, 0, 140}};
  for (size_t k = 0; k < n; k++) memcpy(&px[4 * k], colours[(k / 7 + k % 3) % 5], 4);
  std::vector<double> lum(n);
  std::vector<float> flt(3 * n), out(3 * n);
  double adapted = 0.0;
  const float biases[] = {0.85f, 0.71f, 0.71f, 0.99f, 0.85f};
  for (int frame = 0; frame < 5; frame++) {
    SCOPED_TRACE(frame);
    session->settings.biasParam = biases[frame];
    memcpy(session->shown->rgbe, px.data(), px.size());
    LoadFrame(session.get());
    ref::LoadFrame(px.data(), n, 0.0f, lum.data(), flt.data());
    const double maxLum = 900.0, logAvg = 0.5 + 0.25 * frame;
    Tonemapping(session.get(), maxLum, logAvg);
    ref::Tonemapping(lum.data(), W, H, maxLum, logAvg, session->settings.biasParam, adapted);
    ASSERT_TRUE(SameBits(session->scratch.lum, lum.data(), n, "display luminance"));
  }
}

TEST_P(ReferenceTest, SpareRoomOfTheLuminanceMapDoesNotMatter) {
  // The fixture fills the spare room with NaN; zeros and huge values must
  // give the same pictures.
  const int W = 17, H = 16;
  const std::vector<uint8_t> px = RandomPicture(W, H, Content::kMixed, 77);
  std::vector<float> first;
  for (double filler : {std::nan(""), 0.0, 1e300, -5.0}) {
    Use(SetUpPlayer(W, H));
    session->settings.tmo = 1;
    for (size_t i = session->movie.npixels; i < (size_t)(W + 2) * (H + 2); i++) session->scratch.lum[i] = filler;
    memcpy(session->shown->rgbe, px.data(), px.size());
    LoadFrame(session.get());
    Tonemapping(session.get(), 40.0, 0.3);
    PixelOutTmo(session.get());
    if (first.empty())
      first.assign(Out(), Out() + 3 * session->movie.npixels);
    else
      EXPECT_TRUE(SameBits(Out(), first.data(), 3 * session->movie.npixels, "output"));
  }
}

TEST_P(ReferenceTest, WholeFramesFromAMovieFileMatch) {
  // ReadFramefloat on a movie file, tone-mapped and plain, frame after frame.
  const int W = 47, H = 31, frames = 4;
  std::vector<Record> records;
  for (int f = 0; f < frames; f++) {
    Record r;
    r.pixels = RandomPicture(W, H, f % 2 ? Content::kRough : Content::kMixed, 500 + f);
    r.maxLum = 3.0 + f;
    r.logAv = 0.25 + 0.125 * f;
    records.push_back(r);
  }
  const std::string path = WriteMovie("reference_frames", W, H, 1, frames, records);
  for (int mode : {1, 0}) {
    SCOPED_TRACE(mode);
    Use(OpenMovie(path, W, H, 1, frames));
    session->settings.tmo = mode;
    session->settings.exposure = 0.75f;
    session->settings.biasParam = 0.8f;
    // The display bytes are made with the output, chunk by chunk.
    session->settings.bytes = 1;
    ASSERT_EQ(AllocateShownBytes(session.get()), BUFFERS_ALLOCATED);
    const size_t n = session->movie.npixels;
    std::vector<double> lum(n);
    std::vector<float> flt(3 * n), out(3 * n);
    double adapted = 0.0;
    for (int f = 0; f < frames; f++) {
      ASSERT_TRUE(HandleNextFrame(session.get(), f));
      ref::LoadFrame(records[f].pixels.data(), n, session->settings.exposure, lum.data(), flt.data());
      if (mode == 1) {
        ref::Tonemapping(lum.data(), W, H, records[f].maxLum, records[f].logAv, session->settings.biasParam, adapted);
        ref::PixelOutTmo(lum.data(), flt.data(), n, out.data());
      } else {
        ref::PixelOut(flt.data(), n, session->settings.exposure, out.data());
      }
      EXPECT_EQ(session->adapted[0], adapted);
      ASSERT_TRUE(SameBits(Out(), out.data(), 3 * n, "frame output")) << "frame " << f;
      for (size_t i = 0; i < 3 * n; i++)
        ASSERT_EQ(DisplayComponent(session->shown->bytes[0], i / 3, i % 3), DisplayByte(out[i])) << "frame " << f << " " << i;
    }
  }
}

TEST_P(ReferenceTest, DisplayBytesOfEdgeValuesAreGLsBytes) {
  // Values where a byte kernel may go wrong: NaN, infinities, signed zeros,
  // negatives, subnormals, 1 and the floats beside it, and the floats at
  // and around every rounding midpoint (k + 0.5) / 255, where round to
  // nearest even must agree with lrintf. The pixel count is no multiple of 4.
  std::vector<float> values = {NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f, -1.0f, -1e-30f, 1e-45f, 1e-38f,
                               1.0f, std::nextafter(1.0f, 0.0f), std::nextafter(1.0f, 2.0f), 2.0f, 1e30f};
  for (int k = 0; k < 255; k++) {
    float v = (float)((k + 0.5) / 255.0);
    for (int step = 0; step < 4; step++) v = std::nextafter(v, 0.0f);
    for (int step = 0; step < 9; step++, v = std::nextafter(v, 1.0f)) values.push_back(v);
    values.push_back((float)k / 255.0f);
  }
  while (values.size() % 3 != 0 || values.size() / 3 % 4 == 0) values.push_back(0.5f);
  ConversionSettings cs = {};
  cs.npixels = values.size() / 3;
  cs.pool = pool.get();
  std::vector<unsigned char> bytes(DISPLAY_PIXEL_BYTES * cs.npixels);
  DisplayBytes(cs, values.data(), bytes.data());
  for (size_t i = 0; i < values.size(); i++) {
    const float v = values[i];
    const unsigned char want = !(v > 0.0f) ? 0 : v >= 1.0f ? 255 : (unsigned char)lrintf(v * 255.0f);
    // Blue, green, red, alpha.
    ASSERT_EQ(bytes[DISPLAY_PIXEL_BYTES * (i / 3) + 2 - i % 3], want) << "value " << v << " at " << i;
  }
  for (size_t k = 0; k < cs.npixels; k++) ASSERT_EQ(bytes[DISPLAY_PIXEL_BYTES * k + 3], 255) << k;
}

INSTANTIATE_TEST_SUITE_P(Kernels, ReferenceTest, ::testing::Combine(::testing::Values(0, 1), ::testing::Values(1u, 2u, 3u, 8u)),
                         [](const ::testing::TestParamInfo<KernelsAndThreads> &info) {
                           return std::string(std::get<0>(info.param) ? "AVX2" : "SSE2") + "_" +
                                  std::to_string(std::get<1>(info.param)) + "threads";
                         });

}  // namespace
