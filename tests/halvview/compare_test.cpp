// Comparing two sides: the frame each side shows as the longer movie plays
// in every loop mode and direction, the settings keys on the chosen sides,
// each side's pictures against that side played alone, and the difference
// ramp against values worked out by hand.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "compare.h"
#include "core_fixture.h"
#include "pool.h"

namespace {

constexpr int W = 6, H = 4;

class CompareTest : public ::testing::Test {
 protected:
  void TearDown() override {
    a.reset();
    b.reset();
    RemoveWrittenMovies();
  }
  std::unique_ptr<Session> Marked(const std::string &name, int nframes) {
    const std::string path = WriteMovie(name, W, H, 1, nframes, MarkedMovie(nframes, 1, W, H));
    return OpenMovie(path, W, H, 1, nframes);
  }
  // Steps the leading side to `frame` and the other after it, as the
  // player does; a failed read throws.
  void Step(int frame) {
    Session *lead = LeadingSide(*a, *b) == 0 ? a.get() : b.get();
    Session *other = lead == a.get() ? b.get() : a.get();
    if (!HandleNextFrame(lead, frame) || !FollowLead(*lead, other)) throw ReadFailed{};
  }
  Session &Lead() { return LeadingSide(*a, *b) == 0 ? *a : *b; }
  std::unique_ptr<Session> a, b;
};

TEST(AlignedFrameTest, TheLastFrameStandsForTheFramesAMovieLacks) {
  const struct {
    int frame, nframes, aligned;
  } cases[] = {{0, 3, 0}, {2, 3, 2}, {3, 3, 2}, {7, 3, 2}, {4, 5, 4}, {0, 1, 0}, {5, 1, 0}};
  for (const auto &c : cases) EXPECT_EQ(AlignedFrame(c.frame, c.nframes), c.aligned) << c.frame << " of " << c.nframes;
}

// Both sides playing: the longer movie's frames run as it alone runs them
// (in every loop mode, both directions), the shorter shows the same
// frame or its last one.
TEST_F(CompareTest, BothSidesFollowTheLongerMovieInEveryModeAndDirection) {
  const struct {
    int na, nb, looptype, playdir;
  } cases[] = {{5, 3, 1, 1}, {5, 3, 0, 1}, {5, 3, 2, 1}, {5, 3, 1, -1}, {5, 3, 2, -1},
               {2, 4, 1, 1}, {2, 4, 2, 1}, {2, 4, 1, -1}, {3, 3, 2, 1},  {3, 3, 1, -1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.na) + "/" + std::to_string(c.nb) + " loop " + std::to_string(c.looptype) +
                 " dir " + std::to_string(c.playdir));
    a = Marked("a", c.na);
    b = Marked("b", c.nb);
    std::unique_ptr<Session> alone = Marked("alone", c.na > c.nb ? c.na : c.nb);
    Step(0);
    if (!HandleNextFrame(alone.get(), 0)) FAIL();
    for (Session *s : {&Lead(), alone.get()}) {
      s->autoplay = 1;
      s->looptype = c.looptype;
      s->playdir = c.playdir;
    }
    for (int i = 0; i < 12; i++) {
      Step(Lead().currentframe + Lead().playdir);
      ASSERT_TRUE(HandleNextFrame(alone.get(), alone->currentframe + alone->playdir));
      ASSERT_EQ(Lead().currentframe, alone->currentframe) << "step " << i;
      EXPECT_EQ(Lead().autoplay, alone->autoplay);
      EXPECT_EQ(ShownFrame(a->shown->out[0], a->movie.npixels), AlignedFrame(alone->currentframe, c.na));
      EXPECT_EQ(ShownFrame(b->shown->out[0], b->movie.npixels), AlignedFrame(alone->currentframe, c.nb));
    }
  }
}

// A seek moves the other side by a seek too; a step back from frame 0
// wraps both to their last frames.
TEST_F(CompareTest, SeeksAndWrapsMoveBothSides) {
  a = Marked("a", 8);
  b = Marked("b", 3);
  Step(0);
  ASSERT_EQ(SeekToFrame(a.get(), 6), 1);
  ASSERT_EQ(FollowLead(*a, b.get()), 1);
  EXPECT_EQ(b->currentframe, 2);
  ASSERT_EQ(SeekToFrame(a.get(), 1), 1);
  ASSERT_EQ(FollowLead(*a, b.get()), 1);
  EXPECT_EQ(ShownFrame(b->shown->out[0], b->movie.npixels), 1);
  Step(0);
  Step(-1);
  EXPECT_EQ(a->currentframe, 7);
  EXPECT_EQ(ShownFrame(b->shown->out[0], b->movie.npixels), 2);
}

TEST(ChangeSettingsTest, KeysActOnTheChosenSides) {
  const struct {
    KeySides keys;
    SettingChange change;
    float exposure_a, exposure_b;
    int tmo_a, tmo_b;
  } cases[] = {
      {KEYS_BOTH, EXPOSURE_UP, 1.0f, 1.0f, 0, 0},        {KEYS_A, EXPOSURE_UP, 1.0f, 0.0f, 0, 0},
      {KEYS_B, EXPOSURE_DOWN, 0.0f, -1.0f, 0, 0},        {KEYS_B, EXPOSURE_UP_FINE, 0.0f, 0.1f, 0, 0},
      {KEYS_A, EXPOSURE_DOWN_FINE, -0.1f, 0.0f, 0, 0},   {KEYS_BOTH, TOGGLE_TONEMAP, 0.0f, 0.0f, 1, 1},
      {KEYS_B, TOGGLE_TONEMAP, 0.0f, 0.0f, 0, 1},
  };
  for (const auto &c : cases) {
    RenderSettings sa, sb;
    ChangeSettings(c.keys, c.change, &sa, &sb);
    EXPECT_EQ(sa.exposure, c.exposure_a) << c.keys << " " << c.change;
    EXPECT_EQ(sb.exposure, c.exposure_b) << c.keys << " " << c.change;
    EXPECT_EQ(sa.tmo, c.tmo_a);
    EXPECT_EQ(sb.tmo, c.tmo_b);
  }
  // Without a side B the keys act on A whatever Tab chose.
  RenderSettings only;
  ChangeSettings(KEYS_B, TOGGLE_LOOKAHEAD, &only, nullptr);
  EXPECT_EQ(only.lookahead, 1);
  // The bias stays within its bounds, as the page keys always kept it.
  RenderSettings s;
  for (int i = 0; i < 20; i++) ChangeSetting(&s, BIAS_UP);
  EXPECT_FLOAT_EQ(s.biasParam, 0.99f);
  for (int i = 0; i < 20; i++) ChangeSetting(&s, BIAS_DOWN);
  EXPECT_FLOAT_EQ(s.biasParam, 0.71f);
}

// Each side's pictures are what that side shows alone with its settings:
// the same movie tone mapped on A, with 2 stops more exposure on B, each
// adapting on its own, against two sessions played alone.
TEST_F(CompareTest, EachSideShowsWhatItShowsAlone) {
  WorkerPool pool(2);
  std::vector<Record> records;
  for (int f = 0; f < 5; f++) {
    Record r = MarkedRecord(f, 0, W, H);
    r.logAv = 0.5 + f;
    r.maxLum = 8.0 + f;
    records.push_back(r);
  }
  const std::string path = WriteMovie("same", W, H, 1, 5, records);
  a = OpenMovie(path, W, H, 1, 5);
  b = OpenMovie(path, W, H, 1, 5);
  std::unique_ptr<Session> alone_a = OpenMovie(path, W, H, 1, 5), alone_b = OpenMovie(path, W, H, 1, 5);
  for (Session *s : {a.get(), b.get(), alone_a.get(), alone_b.get()}) {
    s->settings.tmo = 1;
    s->pool = &pool;
  }
  ChangeSettings(KEYS_B, EXPOSURE_UP, &a->settings, &b->settings);
  ChangeSettings(KEYS_B, EXPOSURE_UP, &a->settings, &b->settings);
  alone_b->settings.exposure = 2.0f;
  Step(0);
  ASSERT_TRUE(HandleNextFrame(alone_a.get(), 0) && HandleNextFrame(alone_b.get(), 0));
  for (int i = 0; i < 6; i++) {
    const size_t bytes = 3 * sizeof(float) * a->movie.npixels;
    EXPECT_EQ(memcmp(a->shown->out[0], alone_a->shown->out[0], bytes), 0) << "A, step " << i;
    EXPECT_EQ(memcmp(b->shown->out[0], alone_b->shown->out[0], bytes), 0) << "B, step " << i;
    EXPECT_EQ(b->adapted[0], alone_b->adapted[0]);
    if (i == 2) {  // tone mapping off on A alone
      ChangeSettings(KEYS_A, TOGGLE_TONEMAP, &a->settings, &b->settings);
      alone_a->settings.tmo = 0;
    }
    Step(a->currentframe + 1);
    ASSERT_TRUE(HandleNextFrame(alone_a.get(), alone_a->currentframe + 1) &&
                HandleNextFrame(alone_b.get(), alone_b->currentframe + 1));
  }
  EXPECT_NE(memcmp(a->shown->out[0], b->shown->out[0], 3 * sizeof(float) * a->movie.npixels), 0);
}

TEST(DifferenceTest, StopsAndColoursWorkedOutByHand) {
  const struct {
    double lum_a, lum_b, stops;
    float r, b;
  } cases[] = {
      {1.0, 4.0, 2.0, 0.5f, 0.0f},       // B two stops brighter: half red
      {8.0, 1.0, -3.0, 0.0f, 0.75f},     // B three stops darker: three quarters blue
      {1.0, 1.0, 0.0, 0.0f, 0.0f},       // equal: black
      {0.0, 0.0, 0.0, 0.0f, 0.0f},       // both black: equal
      {0.0, 2.0, 4.0, 1.0f, 0.0f},       // A black, B not: full red
      {3.0, 0.0, -4.0, 0.0f, 1.0f},      // B black: full blue
      {1.0, 256.0, 8.0, 1.0f, 0.0f},     // beyond the scale: full
      {2.0, 2.0 * std::sqrt(2.0), 0.5, 0.125f, 0.0f},
  };
  for (const auto &c : cases) {
    const double stops = DifferenceStops(c.lum_a, c.lum_b);
    EXPECT_DOUBLE_EQ(stops, c.stops) << c.lum_a << " " << c.lum_b;
    float rgb[3];
    DifferenceColour(stops, rgb);
    EXPECT_FLOAT_EQ(rgb[0], c.r);
    EXPECT_EQ(rgb[1], 0.0f);
    EXPECT_FLOAT_EQ(rgb[2], c.b);
  }
}

// The picture from raw pixels: grey 128 x 2^(137-136) against the same
// mantissas two exponents up (4 times the luminance), a pixel without
// exponent (black), and a colour against itself.
TEST(DifferenceTest, PictureFromRawPixels) {
  const unsigned char first[] = {128, 128, 128, 137, 64, 64, 64, 140, 0, 0, 0, 0, 10, 200, 30, 130};
  const unsigned char second[] = {128, 128, 128, 139, 64, 64, 64, 137, 0, 0, 0, 0, 10, 200, 30, 130};
  float out[12];
  unsigned char bytes[16];
  WorkerPool pool(2);
  MakeDifference(&pool, 0, first, second, 4, out, bytes);
  const float expected[12] = {0.5f, 0, 0, 0, 0, 0.75f, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 12; i++) EXPECT_EQ(out[i], expected[i]) << i;
  EXPECT_EQ(bytes[2], DisplayByte(0.5f));   // red of the first pixel
  EXPECT_EQ(bytes[4], DisplayByte(0.75f));  // blue of the second
  EXPECT_EQ(bytes[3], 255);
  EXPECT_EQ(bytes[8] | bytes[9] | bytes[10], 0);
}

// Over many pixel pairs (odd in number, so that the one-pixel tail runs
// too): the picture is the ramp of the per-pixel stops to the bit, on any
// number of threads and with every kernel, and the stops are within
// 1e-5 of the luminances' exact ratio, clamped to the ramp's scale.
TEST(DifferenceTest, PictureMatchesTheRampOfEachPixel) {
  const size_t n = 4 * 1000 + 3;
  std::vector<unsigned char> first(4 * n), second(4 * n);
  uint32_t x = 12345;
  auto next = [&x]() { return (unsigned char)((x = x * 1664525u + 1013904223u) >> 24); };
  for (size_t i = 0; i < 4 * n; i++) {
    first[i] = next();
    second[i] = next();
  }
  first[3] = 0;                                  // black against a colour
  second[4 * 5] = second[4 * 5 + 1] = second[4 * 5 + 2] = 0;  // zero mantissas
  std::vector<float> one(3 * n), two(3 * n);
  std::vector<unsigned char> bytes(4 * n), bytes_alone(4 * n);
  WorkerPool pool(2);
  MakeDifference(nullptr, 0, first.data(), second.data(), n, one.data(), bytes.data());
  MakeDifference(&pool, 0, first.data(), second.data(), n, two.data(), nullptr);
  EXPECT_EQ(memcmp(one.data(), two.data(), sizeof(float) * 3 * n), 0);
  // The AVX2 and AVX-512 kernels, where the processor has them, give the
  // same bits.
  for (int kernels = DIFFERENCE_AVX2; kernels <= ChooseDifferenceKernels(ProcessorHasAVX2()); kernels++) {
    MakeDifference(&pool, kernels, first.data(), second.data(), n, two.data(), bytes_alone.data());
    EXPECT_EQ(memcmp(one.data(), two.data(), sizeof(float) * 3 * n), 0) << "kernels " << kernels;
    EXPECT_EQ(bytes, bytes_alone) << "kernels " << kernels;
  }
  MakeDifference(&pool, 0, first.data(), second.data(), n, nullptr, bytes_alone.data());
  EXPECT_EQ(bytes, bytes_alone);
  for (size_t k = 0; k < 3 * n; k++)
    ASSERT_EQ(bytes[4 * (k / 3) + 2 - k % 3], DisplayByte(one[k])) << "component " << k;
  for (size_t k = 0; k < n; k++) {
    const float stops = DifferencePixelStops(&first[4 * k], &second[4 * k]);
    float rgb[3], a[3], b[3];
    DifferenceColour(stops, rgb);
    ASSERT_EQ(memcmp(rgb, &one[3 * k], sizeof rgb), 0) << "pixel " << k;
    DecodePlayerPixel(&first[4 * k], a);
    DecodePlayerPixel(&second[4 * k], b);
    const double exact = std::fmax(-DIFFERENCE_FULL_STOPS,
                                   std::fmin(DifferenceStops(PixelLuminance(a), PixelLuminance(b)), DIFFERENCE_FULL_STOPS));
    ASSERT_NEAR(stops, exact, 1e-5 * (1.0 + std::fabs(exact))) << "pixel " << k;
  }
}

TEST(CompareStateTest, KeysCycleAndSwap) {
  CompareState state;
  EXPECT_EQ(CompareText(state), "Compare: wipe, keys act on both");
  CycleCompareView(&state);
  CycleKeySides(&state);
  EXPECT_EQ(CompareText(state), "Compare: side by side, keys act on A");
  EXPECT_EQ(PicturesAcross(state), 2);
  CycleCompareView(&state);
  CycleCompareView(&state);
  CycleKeySides(&state);
  SwapSides(&state);
  EXPECT_EQ(CompareText(state), "Compare: toggle, keys act on B, showing B, swapped");
  EXPECT_EQ(SideAt(state, 0), 1);
  CycleCompareView(&state);
  CycleKeySides(&state);
  EXPECT_EQ(state.view, VIEW_WIPE);
  EXPECT_EQ(state.keys, KEYS_BOTH);
  EXPECT_EQ(WipeColumn(state, 101), 50);
  MoveWipe(&state, 130, 101);
  EXPECT_EQ(WipeColumn(state, 101), 101);
  MoveWipe(&state, -3, 101);
  EXPECT_EQ(WipeColumn(state, 101), 0);
}

}  // namespace
