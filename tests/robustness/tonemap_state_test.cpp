// The tone mapper's adaptation state and the player's reading of corrupt
// movies, in the GL-free player core. The core reports a failed read to its
// caller instead of ending the process, so the read-failure path can be
// followed here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "render.h"
#include "session.h"
#include "utility.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// A 6 x 6 picture: both sides multiples of 3, so every block is whole.
constexpr int SIDE = 6;

class Adaptation : public ::testing::Test {
 protected:
  void SetUp() override {
    RenderSettings settings;
    settings.tmo = 1;
    settings.biasParam = 0.85f;
    cs = MakeConversion(settings, SIDE, SIDE, 0, nullptr, nullptr);
    adapted[0] = adapted[1] = 0.0;
    lum.assign((SIDE + 2) * (SIDE + 2), 0.0);
    frame.assign(3 * SIDE * SIDE, 0.5f);
  }

  // Maps a picture whose luminance is 0.5 everywhere with maxLum 2.0 and
  // the given log-average; returns the display luminance of pixel 0 after
  // checking that every pixel has the same (NaN included).
  double MapHalf(double logAvg, int eye = 0) {
    for (int k = 0; k < SIDE * SIDE; k++) lum[k] = 0.5;
    TonemapRecord(cs, lum.data(), 2.0, logAvg, &adapted[eye], eye);
    for (int k = 1; k < SIDE * SIDE; k++)
      EXPECT_TRUE(lum[k] == lum[0] || (std::isnan(lum[k]) && std::isnan(lum[0]))) << "pixel " << k;
    return lum[0];
  }

  ConversionSettings cs;
  double adapted[2] = {0.0, 0.0};  // each eye's adapted log-average
  std::vector<double> lum;
  std::vector<float> frame;
};

// Worked by hand: first call avLum = 0.25, Lwmax = 8, every normalised value
// 2, display luminance ln 3 / (log10 9 * ln(2 + 8 * 0.25^0.23446527)) =
// 0.56118; the same picture again adapts to 0.375 and gives 0.51701, then
// 0.4375 and 0.49882.
constexpr double FIRST = 0.56118, SECOND = 0.51701, THIRD = 0.49882, TOL = 5e-6;

TEST_F(Adaptation, SoundRecordsAdaptByHalves) {
  EXPECT_NEAR(MapHalf(0.5), FIRST, TOL);
  EXPECT_EQ(adapted[0], 0.25);
  EXPECT_NEAR(MapHalf(0.5), SECOND, TOL);
  EXPECT_EQ(adapted[0], 0.375);
  EXPECT_NEAR(MapHalf(0.5), THIRD, TOL);
  EXPECT_EQ(adapted[0], 0.4375);
}

// A record whose log-average is NaN, infinite, or so negative that the
// adapted value would be zero or below leaves the adaptation as it was: the
// frame itself is mapped with the kept value, and the next sound frame
// continues as if the corrupt one had not been there.
TEST_F(Adaptation, CorruptLogAverageKeepsTheAdaptedValue) {
  const double corrupt[] = {NaN, Inf, -Inf, -0.25 /* avLum exactly 0 */, -1e300};
  for (double bad : corrupt) {
    SCOPED_TRACE(bad);
    SetUp();
    EXPECT_NEAR(MapHalf(0.5), FIRST, TOL);
    // Mapped with the kept 0.25: the same picture as the first frame.
    EXPECT_NEAR(MapHalf(bad), FIRST, TOL);
    EXPECT_EQ(adapted[0], 0.25);
    EXPECT_NEAR(MapHalf(0.5), SECOND, TOL);
    EXPECT_EQ(adapted[0], 0.375);
  }
}

TEST_F(Adaptation, HugeLogAveragesDoNotOverflowTheState) {
  // Two records of the largest double: their mean is finite, their sum is
  // not, and the adapted value must stay a number either way.
  const double big = std::numeric_limits<double>::max();
  MapHalf(big);
  EXPECT_EQ(adapted[0], big * 0.5);
  MapHalf(big);
  EXPECT_TRUE(std::isfinite(adapted[0]));
  EXPECT_GT(adapted[0], 0.0);
}

TEST_F(Adaptation, CorruptFirstRecordLeavesTheStartValue) {
  // Nothing to keep yet: the adapted value stays 0 and the next sound
  // record starts the adaptation as a first record would.
  MapHalf(NaN);
  EXPECT_EQ(adapted[0], 0.0);
  MapHalf(0.0);
  EXPECT_EQ(adapted[0], 0.0);
  EXPECT_NEAR(MapHalf(0.5), FIRST, TOL);
  EXPECT_EQ(adapted[0], 0.25);
}

TEST_F(Adaptation, EachEyeKeepsItsOwnState) {
  EXPECT_NEAR(MapHalf(0.5, 0), FIRST, TOL);
  MapHalf(NaN, 1);
  EXPECT_EQ(adapted[1], 0.0);
  EXPECT_EQ(adapted[0], 0.25);
  EXPECT_NEAR(MapHalf(0.5, 1), FIRST, TOL);
  EXPECT_EQ(adapted[1], 0.25);
}

TEST_F(Adaptation, CorruptMaximumsLeaveTheStateAlone) {
  // maxLum takes no part in the adaptation: NaN, infinite, zero or negative
  // maxima map to whatever they map to, and the state follows the sound
  // log-averages.
  const double maxima[] = {NaN, Inf, 0.0, -3.0};
  double expected = 0.0;
  for (double m : maxima) {
    for (int k = 0; k < SIDE * SIDE; k++) lum[k] = 0.5;
    TonemapRecord(cs, lum.data(), m, 0.5, &adapted[0], 0);
    expected = (expected + 0.5) * 0.5;
    EXPECT_EQ(adapted[0], expected) << "maxLum " << m;
  }
}

// --- reading corrupt movies ----------------------------------------------------

constexpr int MW = 16, MH = 16;

std::string Header(int w, int h, int nframes, int eyes = 1) {
  MovieHeader hd{};
  hd.width = (int16_t)w;
  hd.height = (int16_t)h;
  hd.format = 48;
  hd.eyes = (uint8_t)eyes;
  hd.nframes = nframes;
  return std::string((const char *)&hd, sizeof(hd));
}

std::string Record(double maxLum, double logAvg, unsigned char r = 128, int w = MW, int h = MH) {
  std::string rec((const char *)&maxLum, 8);
  rec.append((const char *)&logAvg, 8);
  for (int k = 0; k < w * h; k++) rec += std::string{(char)r, (char)r, (char)r, (char)129};
  return rec;
}

// The player after start-up on a movie written to a file: header validated
// by the caller, buffers sized as start-up sizes them, frame 0 not yet
// loaded.
class Movie : public ::testing::Test {
 protected:
  void Open(const std::string &bytes, int tone = 1) {
    TearDown();
    path = ::testing::TempDir() + "tonemap_state_" + std::to_string(getpid()) + ".movie";
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
    MovieHeader header;
    memcpy(&header, bytes.data(), sizeof(header));
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << path;
    session.reset(new Session);
    AdoptSessionMovie(session.get(), fd, header, 0);
    ASSERT_EQ(AllocateShownFrame(session.get(), 2), BUFFERS_ALLOCATED);
    session->settings.tmo = tone;
  }

  void TearDown() override {
    session.reset();
    if (!path.empty()) unlink(path.c_str());
    path.clear();
  }

  // Steps to `frame`; false when the player ended on a failed read.
  bool Step(int frame) {
    return HandleNextFrame(session.get(), frame) == 1;
  }

  float *Out() const { return session->shown->out[0]; }

  std::unique_ptr<Session> session;
  std::string path;
};

TEST_F(Movie, MoreFramesAnnouncedThanPresentEndsAtTheFirstMissing) {
  // Plain output: frame 0 shows 1.0 (128 at exponent 129), frame 1 0.5.
  Open(Header(MW, MH, 1000000) + Record(2.0, 0.5) + Record(2.0, 0.5, 64), 0);
  ASSERT_TRUE(Step(0));
  EXPECT_EQ(Out()[0], 1.0f);
  ASSERT_TRUE(Step(-1));  // back from frame 0: the last frame present
  EXPECT_EQ(session->currentframe, 999999);
  EXPECT_EQ(Out()[0], 0.5f);
  ASSERT_TRUE(Step(session->currentframe + 1));  // wraps to frame 0
  EXPECT_EQ(session->currentframe, 0);
  EXPECT_EQ(Out()[0], 1.0f);
  ASSERT_TRUE(Step(1));
  EXPECT_EQ(Out()[0], 0.5f);
  EXPECT_FALSE(Step(2));
  EXPECT_EQ(session->currentframe, 2);
}

TEST_F(Movie, CorruptStatisticsKeepTheAdaptationFinite) {
  Open(Header(MW, MH, 6) + Record(2.0, 0.5) + Record(NaN, NaN) + Record(Inf, Inf) +
       Record(-1.0, -Inf) + Record(0.0, 0.0) + Record(2.0, 0.5));
  ASSERT_TRUE(Step(0));
  EXPECT_EQ(session->adapted[0], 0.25);
  ASSERT_TRUE(Step(1));
  ASSERT_TRUE(Step(2));
  ASSERT_TRUE(Step(3));
  EXPECT_EQ(session->adapted[0], 0.25);
  ASSERT_TRUE(Step(4));  // a log-average of 0 is a sound value: 0.125
  EXPECT_EQ(session->adapted[0], 0.125);
  ASSERT_TRUE(Step(5));
  EXPECT_EQ(session->adapted[0], 0.3125);
  // Past the last frame: frame 0 again.
  ASSERT_TRUE(Step(6));
  EXPECT_EQ(session->currentframe, 0);
}

TEST_F(Movie, StereoPairWithoutItsRightEyeEnds) {
  Open(Header(MW, MH, 2, 2) + Record(2.0, 0.5) + Record(2.0, 0.5, 64) + Record(2.0, 0.5));
  ASSERT_TRUE(Step(0));
  // To the end: one frame's length before the end is the middle of frame 0.
  ASSERT_TRUE(Step(-1));
  EXPECT_EQ(session->currentframe, 1);
  ASSERT_TRUE(Step(0));
  EXPECT_FALSE(Step(1));
  EXPECT_EQ(session->currentframe, 1);
}

TEST_F(Movie, FileShorterThanOneFrameEndsWithoutReadingOutside) {
  const std::string bytes = Header(MW, MH, 3) + Record(2.0, 0.5).substr(0, 600);
  Open(bytes);
  EXPECT_FALSE(Step(0));
  EXPECT_EQ(session->currentframe, 0);
  // To the end would seek before the start of the file; the position stays
  // and the read that follows fails and ends the player.
  Open(bytes);
  EXPECT_FALSE(Step(-1));
  EXPECT_EQ(session->currentframe, 2);
}

TEST_F(Movie, CutRecordsEndTheRunAtTheirFrame) {
  const std::string whole = Header(MW, MH, 2) + Record(2.0, 0.5) + Record(2.0, 0.5, 64);
  const size_t second = 12 + Record(2.0, 0.5).size();
  const size_t cuts[] = {second + 3, second + 8, second + 12, second + 16 + 4 * MW * MH - 1};
  for (size_t cut : cuts) {
    SCOPED_TRACE(cut);
    Open(whole.substr(0, cut));
    ASSERT_TRUE(Step(0));
    EXPECT_FALSE(Step(1));
    EXPECT_EQ(session->currentframe, 1);
    TearDown();
  }
}

}  // namespace
