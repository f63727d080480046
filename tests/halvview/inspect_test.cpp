// Looking inside the picture: the histogram's bins and counts against the
// player's own decoder and log2, the clipping classes against the bytes
// the screen is given, the clipping view, and the probe's pixel and values.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "clipping.h"
#include "histogram.h"
#include "probe.h"
#include "pool.h"

namespace {

// ---- Histogram -------------------------------------------------------------

// floor(4 log2 L) from the lowest stop, clamped, with log2 in long double;
// -1 where L lies so near a bin's edge that the rounding of log2 could
// decide.
int ReferenceBin(double L) {
  const long double q = 4.0L * std::log2((long double)L) - 4.0L * HISTOGRAM_LOWEST_STOP;
  const long double f = std::floor(q);
  if (q - f < 1e-12L || f + 1 - q < 1e-12L) return -1;
  if (f < 0) return 0;
  if (f >= HISTOGRAM_BINS) return HISTOGRAM_BINS - 1;
  return (int)f;
}

TEST(HistogramBin, QuarterStopsFromTwoToTheMinusTwenty) {
  for (int k = HISTOGRAM_LOWEST_STOP; k < HISTOGRAM_LOWEST_STOP + HISTOGRAM_BINS / 4; k++) {
    const double L = std::ldexp(1.0, k);
    const int bin = (k - HISTOGRAM_LOWEST_STOP) * 4;
    EXPECT_EQ(HistogramBin(L), bin) << k;  // an exact power of two opens its bin
    EXPECT_EQ(HistogramBin(std::nextafter(L, 0.0)), bin > 0 ? bin - 1 : 0) << k;
    EXPECT_EQ(HistogramBin(L * 1.1), bin) << k;
    EXPECT_EQ(HistogramBin(L * 1.2), bin + 1) << k;  // 2^(1/4) = 1.189...
    EXPECT_EQ(HistogramBin(L * 1.5), bin + 2) << k;  // 2^(1/2) = 1.414...
    EXPECT_EQ(HistogramBin(L * 1.7), bin + 3) << k;  // 2^(3/4) = 1.681...
  }
  EXPECT_EQ(HistogramBin(0.0), 0);
  EXPECT_EQ(HistogramBin(-3.0), 0);
  EXPECT_EQ(HistogramBin(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(HistogramBin(std::numeric_limits<double>::denorm_min()), 0);
  EXPECT_EQ(HistogramBin(1e-300), 0);
  EXPECT_EQ(HistogramBin(std::ldexp(1.0, 20)), HISTOGRAM_BINS - 1);
  EXPECT_EQ(HistogramBin(1e300), HISTOGRAM_BINS - 1);
  EXPECT_EQ(HistogramBin(std::numeric_limits<double>::infinity()), HISTOGRAM_BINS - 1);
}

TEST(HistogramBin, AgreesWithLog2EverywhereButAtTheEdges) {
  std::mt19937_64 random(15);
  std::uniform_real_distribution<double> stops(-26.0, 26.0);
  int compared = 0;
  for (int i = 0; i < 200000; i++) {
    const double L = std::exp2(stops(random));
    const int want = ReferenceBin(L);
    if (want < 0) continue;
    ASSERT_EQ(HistogramBin(L), want) << L;
    compared++;
  }
  EXPECT_GT(compared, 199000);
}

TEST(HistogramStep, CountsAtMostTheSampleLimitWithTheSmallestStep) {
  EXPECT_EQ(HistogramStep(16, 16), 1);
  EXPECT_EQ(HistogramStep(64, 64), 1);  // 4096 pixels exactly
  EXPECT_EQ(HistogramStep(65, 64), 2);
  EXPECT_EQ(HistogramStep(720, 486), 10);  // 72 x 49 samples
  for (int w : {100, 720, 1920, 3840, 31999}) {
    for (int h : {16, 486, 1080, 2160, 31999}) {
      const int s = HistogramStep(w, h);
      auto samples = [&](int step) { return (size_t)((w + step - 1) / step) * (size_t)((h + step - 1) / step); };
      EXPECT_LE(samples(s), HISTOGRAM_MAX_SAMPLES) << w << "x" << h;
      if (s > 1) {
        EXPECT_GT(samples(s - 1), HISTOGRAM_MAX_SAMPLES) << w << "x" << h;
      }
    }
  }
}

// Random RGBE pixels over some 40 stops, a few without an exponent and a
// few with zero mantissas.
std::vector<unsigned char> RandomPixels(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> px(4 * n);
  for (size_t k = 0; k < n; k++) {
    for (int c = 0; c < 3; c++) px[4 * k + c] = (unsigned char)(random() % 256);
    px[4 * k + 3] = (unsigned char)(random() % 50 == 0 ? 0 : 108 + random() % 44);
  }
  return px;
}

class HistogramTest : public CoreTest {};

TEST_F(HistogramTest, CountsEachPixelsDecodedLuminance) {
  // The luminance the decoder gives at exposure 0, binned by log2: the
  // histogram of a picture small enough to count every pixel.
  const int w = 67, h = 61;  // 4087 pixels
  session = SetUpPlayer(w, h);
  const std::vector<unsigned char> px = RandomPixels((size_t)w * h, 3);
  memcpy(session->shown->rgbe, px.data(), px.size());
  LoadFrame(session.get());
  std::vector<uint64_t> want(HISTOGRAM_BINS, 0);
  for (size_t k = 0; k < session->movie.npixels; k++) {
    int bin = ReferenceBin(session->scratch.lum[k]);
    if (bin < 0) bin = HistogramBin(session->scratch.lum[k]);  // at an edge: no second opinion
    if (!(session->scratch.lum[k] > 0.0)) bin = 0;
    want[bin]++;
  }
  Histogram got;
  ComputeHistogram(nullptr, session->shown->rgbe, w, h, &got);
  EXPECT_EQ(got.step, 1);
  EXPECT_EQ(got.total, session->movie.npixels);
  EXPECT_EQ(std::vector<uint64_t>(got.counts, got.counts + HISTOGRAM_BINS), want);
}

TEST_F(HistogramTest, ALargePictureIsCountedOnItsGridAndAnyPoolCountsTheSame) {
  // 1000 x 300 pixels: step 9. The pixels on the grid (every ninth pixel
  // of every ninth row, from the first) hold 2^-3 (bin 68), all others 2^2.
  const int w = 1000, h = 300;
  session = SetUpPlayer(w, h);
  const int step = HistogramStep(w, h);
  ASSERT_EQ(step, 9);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      unsigned char *p = session->shown->rgbe + 4 * ((size_t)y * w + x);
      const bool grid = x % step == 0 && y % step == 0;
      // Grey, 128 x 2^(e - 136) in every component, and so in luminance.
      p[0] = p[1] = p[2] = 128;
      p[3] = grid ? 126 : 131;  // 2^-3 and 2^2
    }
  Histogram one, three;
  ComputeHistogram(nullptr, session->shown->rgbe, w, h, &one);
  WorkerPool pool(3);
  ComputeHistogram(&pool, session->shown->rgbe, w, h, &three);
  const uint64_t samples = (uint64_t)((w + 8) / 9) * (uint64_t)((h + 8) / 9);
  EXPECT_EQ(one.total, samples);
  EXPECT_EQ(one.counts[HistogramBin(0.125)], samples);
  EXPECT_EQ(HistogramBin(0.125), (-3 - HISTOGRAM_LOWEST_STOP) * 4);
  EXPECT_EQ(memcmp(one.counts, three.counts, sizeof one.counts), 0);
  EXPECT_EQ(three.total, one.total);
}

// ---- Clipping --------------------------------------------------------------

TEST(ClassifyShown, WhiteFromOneBlackBelowHalfAStep) {
  const float half = (float)CLIP_HALF_STEP;  // rounds up: at or above it shows
  const float below = std::nextafter((float)CLIP_HALF_STEP, 0.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float rgb[3];
    ClipClass want;
  } cases[] = {
      {{1.0f, 0.0f, 0.0f}, CLIP_WHITE},
      {{0.2f, 0.3f, 7.5f}, CLIP_WHITE},
      {{0.99999994f, 0.99999994f, 0.99999994f}, CLIP_NONE},
      {{0.0f, 0.0f, 0.0f}, CLIP_BLACK},
      {{below, below, below}, CLIP_BLACK},
      {{-2.0f, 0.0f, below}, CLIP_BLACK},
      {{nan, nan, nan}, CLIP_BLACK},
      {{nan, 1.5f, 0.0f}, CLIP_WHITE},
      {{below, half, below}, (double)half >= CLIP_HALF_STEP ? CLIP_NONE : CLIP_BLACK},
      {{0.0f, 0.0f, 0.0025f}, CLIP_NONE},
  };
  for (const Case &c : cases) EXPECT_EQ(ClassifyShown(c.rgb), c.want) << c.rgb[0] << " " << c.rgb[1] << " " << c.rgb[2];
}

TEST(ClassifyShown, BlackPixelsShowAsZeroBytesAndWhiteOnesHaveAFullByte) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> value(-0.01f, 1.01f);
  std::uniform_real_distribution<float> tiny(0.0f, 0.004f);
  for (int i = 0; i < 100000; i++) {
    float rgb[3];
    for (float &v : rgb) v = i % 2 ? tiny(random) : value(random);
    const ClipClass c = ClassifyShown(rgb);
    const int zeros = (DisplayByte(rgb[0]) == 0) + (DisplayByte(rgb[1]) == 0) + (DisplayByte(rgb[2]) == 0);
    const int full = (DisplayByte(rgb[0]) == 255) + (DisplayByte(rgb[1]) == 255) + (DisplayByte(rgb[2]) == 255);
    if (c == CLIP_BLACK) {
      ASSERT_EQ(zeros, 3);
    }
    if (c == CLIP_WHITE) {
      ASSERT_GE(full, 1);
    }
    // Bytes that all round above 0 are never black.
    if (zeros == 0) {
      ASSERT_NE(c, CLIP_BLACK);
    }
  }
}

// A picture of random shown values, with runs of white and black.
std::vector<float> ShownValues(size_t n) {
  std::mt19937 random(9);
  std::uniform_real_distribution<float> value(0.0f, 1.2f);
  std::vector<float> picture(3 * n);
  for (size_t k = 0; k < n; k++)
    for (int c = 0; c < 3; c++) {
      float v = value(random);
      if (k % 7 == 3) v = v * 1e-3f;  // mostly black
      picture[3 * k + c] = v;
    }
  return picture;
}

TEST(ClippingView, FalseColoursWhereTheClassSaysAndTheDrawnPixelsElsewhere) {
  const size_t n = 3 * PIXEL_GRAIN + 123;  // several runs on the pool, a short last one
  const std::vector<float> picture = ShownValues(n);
  ConversionSettings cs = {};
  cs.npixels = n;
  std::vector<unsigned char> bytes(DISPLAY_PIXEL_BYTES * n);
  DisplayBytes(cs, picture.data(), bytes.data());
  ClipCounts want;
  std::vector<unsigned char> expected(bytes);
  for (size_t k = 0; k < n; k++) {
    const ClipClass c = ClassifyShown(&picture[3 * k]);
    if (c == CLIP_NONE) continue;
    const unsigned char *colour = c == CLIP_WHITE ? CLIP_WHITE_COLOUR : CLIP_BLACK_COLOUR;
    for (int i = 0; i < 3; i++) expected[DISPLAY_PIXEL_BYTES * k + 2 - i] = colour[i];
    (c == CLIP_WHITE ? want.white : want.black)++;
  }
  ASSERT_GT(want.white, n / 10);
  ASSERT_GT(want.black, n / 20);
  WorkerPool pool(3);
  for (WorkerPool *p : {(WorkerPool *)nullptr, &pool}) {
    std::vector<unsigned char> view(DISPLAY_PIXEL_BYTES * n, 77);
    const ClipCounts got = ClippingViewBytes(p, picture.data(), bytes.data(), n, view.data());
    EXPECT_EQ(view, expected);
    EXPECT_EQ(got.white, want.white);
    EXPECT_EQ(got.black, want.black);

    // Floats for a deeper colour buffer: the same pixels once GL rounds them.
    std::vector<float> fview(3 * n, -1.0f);
    const ClipCounts fgot = ClippingViewFloats(p, picture.data(), n, fview.data());
    std::vector<unsigned char> rounded(DISPLAY_PIXEL_BYTES * n);
    DisplayBytes(cs, fview.data(), rounded.data());
    EXPECT_EQ(rounded, expected);
    EXPECT_EQ(fgot.white, want.white);
    EXPECT_EQ(fgot.black, want.black);
    for (size_t k = 0; k < n; k++)
      if (ClassifyShown(&picture[3 * k]) == CLIP_NONE) {
        ASSERT_EQ(memcmp(&fview[3 * k], &picture[3 * k], 3 * sizeof(float)), 0) << k;
      }
  }
}

// ---- Probe -----------------------------------------------------------------

class ProbeTest : public CoreTest {
 protected:
  void Step(int frame) {
    if (!HandleNextFrame(session.get(), frame)) throw ReadFailed{};
  }
};

TEST_F(ProbeTest, WindowPixelsOfAWindowedPlayerAreThePicturePixels) {
  session = SetUpPlayer(48, 36, 2);
  session->lowleft = session->lowright = -1.0;
  session->screenwidth = 96;
  session->screenheight = 36;
  // The window may have been made larger: the pictures stay at its bottom.
  const int window_height = 50;
  PictureSpot s = LocatePicturePixel(*session, 0, window_height - 1, window_height);
  EXPECT_EQ(s.inside, 1);
  EXPECT_EQ(s.eye, 0);
  EXPECT_EQ(s.x, 0);
  EXPECT_EQ(s.y, 35);  // the bottom row, counted from the top
  s = LocatePicturePixel(*session, 47, window_height - 36, window_height);
  EXPECT_EQ(s.inside, 1);
  EXPECT_EQ(s.eye, 0);
  EXPECT_EQ(s.x, 47);
  EXPECT_EQ(s.y, 0);
  s = LocatePicturePixel(*session, 48 + 5, window_height - 1 - 10, window_height);
  EXPECT_EQ(s.inside, 1);
  EXPECT_EQ(s.eye, 1);
  EXPECT_EQ(s.x, 5);
  EXPECT_EQ(s.y, 25);
  EXPECT_EQ(LocatePicturePixel(*session, 96, 45, window_height).inside, 0);  // right of the pair
  EXPECT_EQ(LocatePicturePixel(*session, 10, window_height - 37, window_height).inside, 0);  // above
  EXPECT_EQ(LocatePicturePixel(*session, -1, 45, window_height).inside, 0);
}

TEST_F(ProbeTest, FullScreenPicturesAreWhereTheDisplayPutsThem) {
  // -f on a 320 x 240 screen: a 48 x 36 picture centred, its lower-left
  // pixel at (136, 102) from the bottom.
  session = SetUpPlayer(48, 36);
  session->screenwidth = 320;
  session->screenheight = 240;
  session->lowleft = -48.0 / 320;
  session->lowright = -36.0 / 240;
  int column, row;
  PictureOrigin(*session, 0, &column, &row);
  EXPECT_EQ(column, 136);
  EXPECT_EQ(row, 102);
  PictureSpot s = LocatePicturePixel(*session, 136, 239 - 102, 240);
  EXPECT_EQ(s.inside, 1);
  EXPECT_EQ(s.x, 0);
  EXPECT_EQ(s.y, 35);
  EXPECT_EQ(LocatePicturePixel(*session, 135, 239 - 102, 240).inside, 0);
  EXPECT_EQ(LocatePicturePixel(*session, 136 + 48, 239 - 102, 240).inside, 0);
  // -F with a pair: the left picture ends on the centre line.
  session = SetUpPlayer(48, 36, 2);
  session->screenwidth = 320;
  session->screenheight = 240;
  session->lowleft = -96.0 / 320;
  session->lowright = -36.0 / 240;
  PictureOrigin(*session, 0, &column, &row);
  EXPECT_EQ(column, 160 - 48);
  PictureOrigin(*session, 1, &column, &row);
  EXPECT_EQ(column, 160);
}

TEST_F(ProbeTest, ReadsTheSceneValuesBeforeExposureAndTheValuesShown) {
  const int w = 9, h = 4;
  std::vector<Record> records = MarkedMovie(3, 2, w, h);
  // Frame 1's right eye: one pixel of its own, and one without exponent.
  Record &r = records[3];
  const size_t corner = (size_t)(h - 1) * w + 8;  // top-right, memory row h - 1
  r.pixels[4 * corner + 0] = 128;
  r.pixels[4 * corner + 1] = 64;
  r.pixels[4 * corner + 2] = 32;
  r.pixels[4 * corner + 3] = 129;  // (1, 0.5, 0.25)
  r.pixels[4 * 0 + 3] = 0;         // bottom-left: no exponent
  const std::string path = WriteMovie("probe", w, h, 2, 3, records);
  session = OpenMovie(path, w, h, 2, 3);
  session->settings.exposure = 1.0f;
  Step(0);
  Step(1);
  PictureSpot spot = {1, 1, 8, 0};
  ProbeValues v = ProbePixel(*session, spot);
  EXPECT_EQ(v.scene[0], 1.0f);
  EXPECT_EQ(v.scene[1], 0.5f);
  EXPECT_EQ(v.scene[2], 0.25f);
  EXPECT_NEAR(v.luminance, 0.58825, 1e-15);
  EXPECT_EQ(v.shown[0], 2.0f);  // one stop up
  EXPECT_EQ(v.shown[1], 1.0f);
  EXPECT_EQ(v.shown[2], 0.5f);
  EXPECT_EQ(ProbeText(*session, spot, v), "Pixel (8, 0) right: scene 1 0.5 0.25, lum 0.5883; shown 2 1 0.5");
  spot = {1, 1, 0, h - 1};
  v = ProbePixel(*session, spot);
  EXPECT_EQ(v.scene[0], 1e-6f);
  EXPECT_EQ(v.scene[2], 1e-6f);
  // The left eye of the same frame: (2, 1, 5) everywhere.
  spot = {1, 0, 4, 2};
  v = ProbePixel(*session, spot);
  EXPECT_EQ(v.scene[0], 2.0f);
  EXPECT_EQ(v.scene[1], 1.0f);
  EXPECT_EQ(v.scene[2], 5.0f);
  EXPECT_EQ(v.shown[0], 4.0f);
  EXPECT_EQ(ProbeText(*session, spot, v).substr(0, 20), "Pixel (4, 2) left: s");
  // Tone mapped: the scene stays, the value shown is the tone mapper's.
  session->settings.tmo = 1;
  Step(2);
  v = ProbePixel(*session, spot);
  EXPECT_EQ(v.scene[0], 3.0f);
  EXPECT_EQ(v.shown[0], Out()[3 * ((size_t)(h - 1 - 2) * w + 4)]);
  EXPECT_NE(v.shown[0], 3.0f);
}

TEST_F(ProbeTest, AOneEyedMovieNamesNoEye) {
  const std::string path = WriteMovie("probe_mono", 5, 5, 1, 1, MarkedMovie(1, 1, 5, 5));
  session = OpenMovie(path, 5, 5, 1, 1);
  Step(0);
  const PictureSpot spot = {1, 0, 2, 3};
  EXPECT_EQ(ProbeText(*session, spot, ProbePixel(*session, spot)), "Pixel (2, 3): scene 1 1 5, lum 1.289; shown 1 1 5");
}

// The help overlay's second block: under the first while it stays above the
// information lines, else beside the first where the window has room, else
// under it all the same.
TEST(HelpLayout, TheSecondBlockGoesBesideTheFirstOnlyWhereItMustAndCan) {
  const struct {
    int width, height, info_top;
    bool beside;
  } cases[] = {
      {1920, 1080, 88, false},  // room under the first block
      {1280, 580, 0, false},    // no information lines: room enough
      {1280, 486, 0, true},     // since the compare keys, 486 rows are too few for both blocks
      {1280, 486, 88, true},    // the information lines in the way, room beside
      {1280, 300, 0, true},     // the window's bottom in the way
      {720, 486, 88, false},    // no room beside: under, as before
  };
  for (const auto &c : cases) {
    const HelpLayout l = LayOutHelp(c.width, c.height, c.info_top);
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", info top " << c.info_top);
    EXPECT_EQ(l.x1, 10);
    EXPECT_EQ(l.y1, c.height - 20);
    EXPECT_EQ(l.y2, c.beside ? l.y1 : l.y1 - 13 * 19);
    EXPECT_EQ(l.x2 > l.x1, c.beside);
    EXPECT_EQ(l.trim2 > 0, c.beside);
    if (c.beside) {
      // Right of the first block's widest line, every line inside the window.
      EXPECT_GE(l.x2, 10 + 8 * 67);
      const std::string text = TrimHelpLines(helpstring_added, l.trim2);
      size_t widest = 0, start = 0;
      for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        widest = std::max(widest, end - start);
      EXPECT_LE(l.x2 + 8 * (int)widest, c.width);
    }
  }
  EXPECT_EQ(TrimHelpLines("Head\n      -A      on\n  x\n", 4), "Head\n  -A      on\nx\n");
}

}  // namespace
