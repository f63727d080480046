// Look-ahead adaptation: the window, segment and bad-record rules over the
// statistics cache on movies written here, checked against the properties
// they promise (cuts adapted at the cut, flicker divided by the window, a
// ramp followed without lag) and against a plain whole-movie evaluation of
// the definition; and the player taking its normaliser and peak from them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "lookahead.h"
#include "reference.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// Pictures of 3 x 3 pixels: the rules read only the statistics.
constexpr int PW = 3, PH = 3;

struct Stats {
  double maxLum, logAv;
};

// The records of a movie with these statistics, eye by eye, frame by frame;
// every pixel mid-grey.
std::vector<Record> Records(const std::vector<std::vector<Stats>> &eyes, int width = PW, int height = PH) {
  std::vector<Record> records;
  const size_t frames = eyes[0].size();
  for (size_t k = 0; k < frames; k++)
    for (const std::vector<Stats> &eye : eyes) {
      Record r;
      r.maxLum = eye[k].maxLum;
      r.logAv = eye[k].logAv;
      r.pixels.assign(4 * (size_t)width * height, 0);
      for (size_t p = 0; p < (size_t)width * height; p++) {
        r.pixels[4 * p] = (uint8_t)(100 + (p * 37 + k * 11) % 150);
        r.pixels[4 * p + 1] = (uint8_t)(90 + (p * 53 + k * 7) % 160);
        r.pixels[4 * p + 2] = (uint8_t)(80 + (p * 29 + k * 3) % 170);
        r.pixels[4 * p + 3] = (uint8_t)(126 + (p + k) % 5);
      }
      records.push_back(r);
    }
  return records;
}

MovieHeader Header(int eyes, int nframes, int width = PW, int height = PH) {
  return TestHeader(width, height, eyes, nframes);
}

// The definition, evaluated the plain way over the whole movie: mark the
// segment starts in one pass, then for each frame find its segment's ends
// and average the good records of its window.
struct Expected {
  bool valid;
  double logAv, peak;
};

std::vector<bool> SegmentStarts(const std::vector<Stats> &eye) {
  std::vector<bool> start(eye.size(), false);
  start[0] = true;
  bool have = false;
  double previous = 0.0;
  for (size_t k = 0; k < eye.size(); k++) {
    const double m = eye[k].maxLum, a = eye[k].logAv;
    const bool good = std::isfinite(m) && m > 0 && std::isfinite(a) && a > 0;
    if (!good) continue;
    const double s = std::log(a);
    if (have && std::fabs(s - previous) > std::log(2.0)) start[k] = true;
    previous = s;
    have = true;
  }
  return start;
}

std::vector<Expected> Definition(const std::vector<Stats> &eye, int R) {
  const std::vector<bool> start = SegmentStarts(eye);
  const int64_t n = (int64_t)eye.size();
  std::vector<Expected> out;
  for (int64_t k = 0; k < n; k++) {
    int64_t a = k, b = k;
    while (!start[a]) a--;
    while (b + 1 < n && !start[b + 1]) b++;
    const int64_t r = std::min<int64_t>({R, k - a, b - k});
    double S = 0, M = 0;
    int64_t count = 0;
    for (int64_t j = k - r; j <= k + r; j++) {
      const double m = eye[j].maxLum, v = eye[j].logAv;
      if (!(std::isfinite(m) && m > 0 && std::isfinite(v) && v > 0)) continue;
      S += std::log(v);
      M += std::log(m);
      count++;
    }
    if (count == 0)
      out.push_back({false, NaN, NaN});
    else
      out.push_back({true, std::exp(S / count), std::exp(M / count)});
  }
  return out;
}

// Same bits, or both NaN.
bool Same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || memcmp(&a, &b, sizeof a) == 0; }

class LookAhead : public CoreTest {
 protected:
  // Writes the movie and opens a cache on it.
  void Open(const std::string &name, const std::vector<std::vector<Stats>> &eyes, bool swap = false) {
    const int e = (int)eyes.size(), n = (int)eyes[0].size();
    const std::string path = WriteMovie(name, PW, PH, e, n, Records(eyes), swap);
    OpenCache(path, Header(e, n), swap ? 1 : 0);
  }
  // Opens the movie at `path` with the given header, and a cache on it.
  void OpenCache(const std::string &path, const MovieHeader &header, int byteswap) {
    CloseStatisticsCache(&cache);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << path;
    AdoptMovieFile(&movie, fd, header, byteswap);
    OpenStatisticsCache(&cache, &movie);
  }
  void TearDown() override {
    CloseStatisticsCache(&cache);
    CloseMovieFile(&movie);
    CoreTest::TearDown();
  }
  // The cache's values of one frame, after checking them against the definition.
  Expected Values(int64_t frame, int eye, int R) {
    Expected got;
    got.valid = LookAheadValues(&cache, frame, eye, R, &got.logAv, &got.peak) == 1;
    return got;
  }
  void ExpectDefinition(const std::vector<Stats> &eye, int e, int R) {
    const std::vector<Expected> want = Definition(eye, R);
    for (size_t k = 0; k < eye.size(); k++) {
      const Expected got = Values((int64_t)k, e, R);
      EXPECT_EQ(got.valid, want[k].valid) << "frame " << k << " eye " << e << " R " << R;
      EXPECT_TRUE(Same(got.logAv, want[k].logAv))
          << "frame " << k << " eye " << e << " R " << R << ": " << got.logAv << " vs " << want[k].logAv;
      EXPECT_TRUE(Same(got.peak, want[k].peak))
          << "frame " << k << " eye " << e << " R " << R << ": " << got.peak << " vs " << want[k].peak;
    }
  }
  MovieFile movie;
  StatisticsCache cache;
};

TEST_F(LookAhead, CutIsAdaptedExactlyAtTheCut) {
  std::vector<Stats> eye;
  for (int k = 0; k < 20; k++) eye.push_back({3.0, 0.01});
  for (int k = 0; k < 20; k++) eye.push_back({250.0, 1.0});
  Open("cut", {eye});
  for (int k = 0; k < 40; k++) {
    SCOPED_TRACE(k);
    EXPECT_EQ(IsSegmentStart(&cache, k, 0), k == 0 || k == 20);
    const Expected got = Values(k, 0, LOOKAHEAD_DEFAULT_RADIUS);
    ASSERT_TRUE(got.valid);
    // Each frame's own values on both sides, up to the rounding of ln, the
    // sum and exp.
    EXPECT_NEAR(got.logAv, eye[k].logAv, 1e-14 * eye[k].logAv);
    EXPECT_NEAR(got.peak, eye[k].maxLum, 1e-14 * eye[k].maxLum);
  }
  ExpectDefinition(eye, 0, LOOKAHEAD_DEFAULT_RADIUS);
}

TEST_F(LookAhead, AlternatingFlickerIsDividedByTheWindow) {
  // +-10 % around 0.5 and 2000, alternating: 0.2 in ln, no cut.
  std::vector<Stats> eye;
  const int n = 60, R = LOOKAHEAD_DEFAULT_RADIUS;
  for (int k = 0; k < n; k++) eye.push_back({2000.0 * (k % 2 ? 0.9 : 1.1), 0.5 * (k % 2 ? 1.1 : 0.9)});
  Open("flicker", {eye});
  for (int k = 1; k < n; k++) EXPECT_FALSE(IsSegmentStart(&cache, k, 0)) << k;
  double lo = Inf, hi = -Inf, plo = Inf, phi = -Inf;
  // Inside the segment: every frame with its whole window.
  for (int k = R; k < n - R; k++) {
    const Expected got = Values(k, 0, R);
    ASSERT_TRUE(got.valid);
    lo = std::min(lo, got.logAv);
    hi = std::max(hi, got.logAv);
    plo = std::min(plo, got.peak);
    phi = std::max(phi, got.peak);
  }
  const double swing = 0.5 * 1.1 - 0.5 * 0.9, pswing = 2000.0 * 1.1 - 2000.0 * 0.9;
  EXPECT_GT(hi - lo, 0.0);  // it still moves: 7 frames of one kind against 6 of the other
  EXPECT_LE(hi - lo, swing / (2 * R + 1));
  EXPECT_LE(phi - plo, pswing / (2 * R + 1));
  // In ln, exactly one window's length: 13 times less.
  EXPECT_NEAR(std::log(hi) - std::log(lo), (std::log(0.55) - std::log(0.45)) / (2 * R + 1), 1e-12);
  ExpectDefinition(eye, 0, R);
}

TEST_F(LookAhead, RampInLogLuminanceIsFollowedWithoutLag) {
  // ln logAv rises by 0.1 and ln maxLum by 0.05 a frame: below a stop, no cut.
  std::vector<Stats> eye;
  const int n = 50;
  for (int k = 0; k < n; k++) eye.push_back({std::exp(std::log(10.0) + 0.05 * k), std::exp(std::log(0.001) + 0.1 * k)});
  Open("ramp", {eye});
  for (int k = 0; k < n; k++) {  // the ends included
    SCOPED_TRACE(k);
    const Expected got = Values(k, 0, LOOKAHEAD_DEFAULT_RADIUS);
    ASSERT_TRUE(got.valid);
    EXPECT_NEAR(std::log(got.logAv), std::log(eye[k].logAv), 1e-13);
    EXPECT_NEAR(std::log(got.peak), std::log(eye[k].maxLum), 1e-13);
  }
  ExpectDefinition(eye, 0, LOOKAHEAD_DEFAULT_RADIUS);
}

TEST_F(LookAhead, BadRecordsInsideAWindowAreLeftOut) {
  std::vector<Stats> eye(30, Stats{4.0, 0.5});
  eye[10] = {4.0, NaN};
  eye[11] = {NaN, 0.5};
  eye[12] = {Inf, 0.5};
  eye[14] = {4.0, 0.0};
  eye[15] = {-4.0, 0.5};
  eye[16] = {4.0, -Inf};
  Open("nan", {eye});
  for (int k = 0; k < 30; k++) {
    SCOPED_TRACE(k);
    EXPECT_EQ(IsSegmentStart(&cache, k, 0), k == 0);
    const Expected got = Values(k, 0, LOOKAHEAD_DEFAULT_RADIUS);
    // Bad frames included: their values come from the good records around them.
    ASSERT_TRUE(got.valid);
    EXPECT_NEAR(got.logAv, 0.5, 1e-15);
    EXPECT_NEAR(got.peak, 4.0, 1e-14);
  }
  ExpectDefinition(eye, 0, LOOKAHEAD_DEFAULT_RADIUS);
  // A window of bad records only: no values.
  const Expected alone = Values(11, 0, 0);
  EXPECT_FALSE(alone.valid);
  EXPECT_TRUE(std::isnan(alone.logAv) && std::isnan(alone.peak));
}

TEST_F(LookAhead, BadFrameBelongsToTheSegmentOfTheGoodFrameBeforeIt) {
  std::vector<Stats> eye;
  eye.push_back({1.0, NaN});  // at the start: the segment after it
  eye.push_back({1.0, 0.0});
  for (int k = 2; k < 10; k++) eye.push_back({3.0, 0.01});
  eye.push_back({NaN, NaN});  // between the segments: the one before
  eye.push_back({NaN, NaN});
  for (int k = 12; k < 20; k++) eye.push_back({250.0, 1.0});
  Open("badcut", {eye});
  for (int k = 0; k < 20; k++) EXPECT_EQ(IsSegmentStart(&cache, k, 0), k == 0 || k == 12) << k;
  // Frame 1: r = 1, so frames 0 to 2, of which only frame 2 is good.
  Expected got = Values(1, 0, 6);
  ASSERT_TRUE(got.valid);
  EXPECT_NEAR(got.logAv, 0.01, 1e-17);
  // Frame 0 starts its segment: r = 0 and its own record is bad.
  EXPECT_FALSE(Values(0, 0, 6).valid);
  // Frame 10: two frames from its segment's end (11), r = 1: frames 9 to 11.
  got = Values(10, 0, 6);
  ASSERT_TRUE(got.valid);
  EXPECT_NEAR(got.logAv, 0.01, 1e-17);
  // Frame 11 ends its segment: only its own bad record.
  EXPECT_FALSE(Values(11, 0, 6).valid);
  ExpectDefinition(eye, 0, 6);
}

TEST_F(LookAhead, RadiusZeroGivesEachFrameItsOwnStatistics) {
  std::vector<Stats> eye;
  for (int k = 0; k < 25; k++) eye.push_back({100.0 + 37.0 * (k % 7), 0.02 * (1 + k % 5)});
  eye[7] = {NaN, 0.5};
  Open("r0", {eye});
  for (int k = 0; k < 25; k++) {
    const Expected got = Values(k, 0, 0);
    if (k == 7) {
      EXPECT_FALSE(got.valid);
      continue;
    }
    ASSERT_TRUE(got.valid) << k;
    EXPECT_TRUE(Same(got.logAv, std::exp(std::log(eye[k].logAv)))) << k;
    EXPECT_TRUE(Same(got.peak, std::exp(std::log(eye[k].maxLum)))) << k;
  }
  ExpectDefinition(eye, 0, 0);
}

TEST_F(LookAhead, EveryRadiusMatchesTheDefinitionBitForBit) {
  // A stereo movie with drifts, cuts of both signs, flicker and bad records,
  // each eye its own: a fixed pseudo-random sequence.
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) / 16777216.0;
  };
  std::vector<std::vector<Stats>> eyes(2);
  for (int e = 0; e < 2; e++) {
    double s = -1.0, m = 5.0;
    for (int k = 0; k < 300; k++) {
      const double u = next();
      if (u < 0.04) s += (next() < 0.5 ? -1 : 1) * (0.8 + 2 * next());  // a cut
      else s += 0.3 * (next() - 0.5);
      m += 0.2 * (next() - 0.5);
      Stats st{std::exp(m), std::exp(s)};
      const double v = next();
      if (v < 0.03) st.logAv = NaN;
      else if (v < 0.05) st.maxLum = 0.0;
      else if (v < 0.06) st.logAv = -st.logAv;
      else if (v < 0.07) st.maxLum = Inf;
      eyes[e].push_back(st);
    }
  }
  Open("definition", eyes);
  for (int R : {0, 1, 2, 3, 6, 13, 40, 1000}) {
    ExpectDefinition(eyes[0], 0, R);
    ExpectDefinition(eyes[1], 1, R);
  }
}

TEST_F(LookAhead, EyesAdaptEachOnItsOwn) {
  std::vector<Stats> left, right;
  for (int k = 0; k < 20; k++) {
    left.push_back({10.0, k < 10 ? 0.05 : 0.8});
    right.push_back({10.0, 0.3});
  }
  Open("eyes", {left, right});
  EXPECT_TRUE(IsSegmentStart(&cache, 10, 0));
  EXPECT_FALSE(IsSegmentStart(&cache, 10, 1));
  EXPECT_NEAR(Values(9, 0, 6).logAv, 0.05, 1e-16);
  EXPECT_NEAR(Values(9, 1, 6).logAv, 0.3, 1e-15);
  EXPECT_FALSE(Values(3, 2, 6).valid);  // no third eye
  ExpectDefinition(left, 0, 6);
  ExpectDefinition(right, 1, 6);
}

TEST_F(LookAhead, ByteSwappedStatisticsAreReadSwapped) {
  std::vector<Stats> eye;
  for (int k = 0; k < 12; k++) eye.push_back({50.0 + k, 0.1 * (k + 1)});
  Open("swapped", {eye}, true);
  for (int k = 0; k < 12; k++) {
    const CachedRecord &r = GetCachedRecord(&cache, k, 0);
    EXPECT_EQ(r.maxLum, eye[k].maxLum);
    EXPECT_EQ(r.logAv, eye[k].logAv);
  }
  ExpectDefinition(eye, 0, 6);
}

TEST_F(LookAhead, WindowsCoverTheFramesTheFileHoldsWholly) {
  std::vector<Stats> eye(10, Stats{2.0, 0.5});
  const std::vector<Record> records = Records({eye});
  // 12 frames announced, 10 written, the last cut by 5 bytes.
  const std::string path = WriteMovie("short", PW, PH, 1, 12, records, false, 5);
  OpenCache(path, Header(1, 12), 0);
  EXPECT_EQ(cache.frames, 9);
  // Frame 8 is the last frame: r = 0.
  EXPECT_TRUE(Same(Values(8, 0, 6).logAv, std::exp(std::log(0.5))));
  EXPECT_FALSE(Values(9, 0, 6).valid);
  EXPECT_FALSE(Values(-1, 0, 6).valid);
}

TEST_F(LookAhead, LongMovieOpensWithoutReadingAndReadsOnlyTheWindow) {
  // 100,000 frames of 3 x 3 pixels, written sparse: statistics only around
  // frame 0 and frame 50,000, zeros (bad records) elsewhere.
  const int n = 100000;
  const MovieHeader h = Header(1, n);
  const std::string path = ::testing::TempDir() + "lookahead_long_" + std::to_string(getpid()) + ".movie";
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(WriteMovieHeader(f, h), 0);
  auto put = [&](int k, double maxLum, double logAv) {
    fseeko(f, (off_t)MovieFrameOffset(h, k), SEEK_SET);
    const double st[2] = {maxLum, logAv};
    fwrite(st, 8, 2, f);
  };
  for (int k = 0; k < 20; k++) put(k, 5.0, 0.2);
  for (int k = 49980; k < 50020; k++) put(k, 7.0, 0.3);
  fclose(f);
  ASSERT_EQ(truncate(path.c_str(), (off_t)MovieFrameOffset(h, n)), 0);

  OpenCache(path, h, 0);
  EXPECT_EQ(cache.frames, n);
  EXPECT_EQ(cache.reads, 0u);
  // The first frame: its window, and the records that tell whether a cut
  // lies in reach (frames 0 to 6).
  Expected got = Values(0, 0, 6);
  EXPECT_TRUE(got.valid);
  EXPECT_LE(cache.reads, 7u);
  const uint64_t before = cache.reads;
  got = Values(50000, 0, 6);
  ASSERT_TRUE(got.valid);
  EXPECT_NEAR(got.logAv, 0.3, 1e-15);
  EXPECT_LE(cache.reads - before, 14u);
  // Playing on reads one new record a frame.
  for (int k = 50001; k < 50010; k++) {
    const uint64_t at = cache.reads;
    EXPECT_TRUE(Values(k, 0, 6).valid);
    EXPECT_LE(cache.reads - at, 1u) << k;
  }
  CloseStatisticsCache(&cache);
  unlink(path.c_str());
}

TEST(LookAheadRadius, DigitsOnly) {
  int r = 6;
  EXPECT_TRUE(ParseLookAheadRadius("0", &r));
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(ParseLookAheadRadius("12", &r));
  EXPECT_EQ(r, 12);
  EXPECT_TRUE(ParseLookAheadRadius("2147483647", &r));
  EXPECT_EQ(r, 2147483647);
  for (const char *bad : {"", "-1", "+3", "3.0", "1e2", " 4", "4 ", "abc", "2147483648", "99999999999999999999"}) {
    r = 6;
    EXPECT_FALSE(ParseLookAheadRadius(bad, &r)) << bad;
    EXPECT_EQ(r, 6) << bad;
  }
  EXPECT_FALSE(ParseLookAheadRadius(nullptr, &r));
}

// --- the player ---------------------------------------------------------------

constexpr int W = 6, H = 6;

class PlayerLookAhead : public CoreTest {
 protected:
  void Open(const std::vector<std::vector<Stats>> &eyes, int R) {
    const int e = (int)eyes.size(), n = (int)eyes[0].size();
    records = Records(eyes, W, H);
    const std::string path = WriteMovie("player", W, H, e, n, records);
    session = OpenMovie(path, W, H, e, n);
    ASSERT_EQ(session->statistics.frames, n);  // the look-ahead windows' statistics
    session->settings.tmo = 1;
    session->settings.lookahead = 1;
    session->settings.radius = R;
  }
  void Step(int frame) { ASSERT_EQ(HandleNextFrame(session.get(), frame), 1); }
  // The picture of a record mapped with the given normaliser and peak.
  std::vector<float> Expect(const Record &r, double avLum, double peak) {
    std::vector<double> lum((W + 2) * (H + 2));
    std::vector<float> flt(3 * W * H), out(3 * W * H);
    ref::LoadFrame(r.pixels.data(), W * H, 0.0f, lum.data(), flt.data());
    ref::TonemappingWith(lum.data(), W, H, peak, avLum, 0.85f);
    ref::PixelOutTmo(lum.data(), flt.data(), W * H, out.data());
    return out;
  }
  static void ExpectPicture(const float *got, const std::vector<float> &want, const char *what) {
    for (size_t i = 0; i < want.size(); i++) ASSERT_EQ(got[i], want[i]) << what << ", value " << i;
  }
  std::vector<Record> records;
};

TEST_F(PlayerLookAhead, ToneMapperTakesTheAdaptedValuesAndKeepsTheCausalState) {
  std::vector<Stats> eye;
  for (int k = 0; k < 12; k++) eye.push_back({k < 6 ? 3.0 + k : 300.0 - k, k < 6 ? 0.02 * (1 + 0.1 * (k % 2)) : 0.9});
  Open({eye}, 2);
  const std::vector<Expected> want = Definition(eye, 2);
  double causal = 0.0;
  for (int k = 0; k < 12; k++) {
    SCOPED_TRACE(k);
    Step(k);
    causal = (causal + eye[k].logAv) * 0.5;
    EXPECT_EQ(session->adapted[0], causal);  // the causal state moves on in look-ahead mode too
    ASSERT_TRUE(want[k].valid);
    ExpectPicture(Out(), Expect(records[k], want[k].logAv, want[k].peak), "look-ahead");
  }
  // Back to the causal mode: the picture it would have shown all along.
  session->settings.lookahead = 0;
  Step(0);
  causal = (causal + eye[0].logAv) * 0.5;
  EXPECT_EQ(session->adapted[0], causal);
  ExpectPicture(Out(), Expect(records[0], causal, eye[0].maxLum), "causal again");
}

TEST_F(PlayerLookAhead, RightEyeUsesItsOwnWindow) {
  std::vector<Stats> left, right;
  for (int k = 0; k < 8; k++) {
    left.push_back({20.0 + k, 0.1 + 0.01 * k});
    right.push_back({900.0 - 3 * k, k < 4 ? 0.7 : 3.0});  // a cut at frame 4
  }
  Open({left, right}, 6);
  const std::vector<Expected> wl = Definition(left, 6), wr = Definition(right, 6);
  for (int k = 0; k < 8; k++) {
    SCOPED_TRACE(k);
    Step(k);
    ExpectPicture(Out(), Expect(records[2 * k], wl[k].logAv, wl[k].peak), "left");
    ExpectPicture(Out(1), Expect(records[2 * k + 1], wr[k].logAv, wr[k].peak), "right");
  }
}

TEST_F(PlayerLookAhead, FrameWithoutGoodRecordsInItsWindowIsShownAsInTheCausalMode) {
  std::vector<Stats> eye(6, Stats{40.0, 0.25});
  eye[3] = {40.0, NaN};  // bad: R = 0 leaves it nothing
  Open({eye}, 0);
  double causal = 0.0;
  for (int k = 0; k < 6; k++) {
    SCOPED_TRACE(k);
    Step(k);
    if (k == 3) {
      // Today's rule for a corrupt record: the causal normaliser kept as it
      // was, and the record's own maxLum.
      ExpectPicture(Out(), Expect(records[k], causal, 40.0), "causal rule");
    } else {
      causal = (causal + eye[k].logAv) * 0.5;
      ExpectPicture(Out(), Expect(records[k], std::exp(std::log(0.25)), std::exp(std::log(40.0))), "own values");
    }
    EXPECT_EQ(session->adapted[0], causal);
  }
}

TEST_F(PlayerLookAhead, CorruptFirstFrameIsShownBlack) {
  for (int mode = 0; mode < 2; mode++) {
    SCOPED_TRACE(mode);
    std::vector<Stats> eye(3, Stats{40.0, 0.25});
    eye[0] = {40.0, NaN};
    Open({eye}, 0);
    session->settings.lookahead = mode;
    Step(0);
    EXPECT_EQ(session->adapted[0], 0.0);  // nothing to keep yet
    for (int i = 0; i < 3 * W * H; i++) ASSERT_EQ(Out()[i], 0.0f) << i;
    // The next sound frame starts the adaptation.
    Step(1);
    EXPECT_EQ(session->adapted[0], 0.125);
    EXPECT_GT(Out()[0], 0.0f);
    TearDown();
  }
}

}  // namespace
