// Stepping through a movie file: which record each request reads, where the
// file position is left, and how a failed read ends the run.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core_fixture.h"

namespace {

constexpr int W = 5, H = 4;
constexpr off_t kRecord = 16 + 4 * W * H;

class NavigationTest : public CoreTest {
 protected:
  // A movie whose header says `nframes` and which holds `present` marked
  // frames of max(eyes, 1) records each, less `cut` bytes at the end.
  void Open(int nframes, int present, int eyes = 1, size_t cut = 0) {
    const int records = eyes > 1 ? eyes : 1;
    path_ = WriteMovie(::testing::UnitTest::GetInstance()->current_test_info()->name(), W, H, eyes,
                       nframes, MarkedMovie(present, records, W, H), false, cut);
    session = OpenMovie(path_, W, H, eyes, nframes);
  }
  // Steps to `frame`; a failed read throws ReadFailed, as the program
  // would end there.
  void Step(int frame) {
    if (!HandleNextFrame(session.get(), frame)) throw ReadFailed{};
  }

  // The player is on frame `cur` showing the marked frame `shown`, scaled by
  // 2^stops, with the file position just past that frame.
  void ExpectOn(int cur, int shown, int stops = 0) {
    EXPECT_EQ(session->currentframe, cur);
    const float scale = std::ldexp(1.0f, stops);
    EXPECT_EQ(Out()[0], (shown + 1) * scale) << "shown frame";
    if (stops == 0) {
      EXPECT_EQ(ShownFrame(), shown);
    }
    EXPECT_EQ(session->logAv, 1.0 + shown);
    EXPECT_EQ((off_t)session->position, 12 + (shown + 1) * (off_t)session->movie.frame_size);
  }

  std::string path_;
};

TEST_F(NavigationTest, ForwardStepsWalkTheFileAndWrapToFrameZero) {
  Open(4, 4);
  Step(0);
  ExpectOn(0, 0);
  for (int f = 1; f < 4; f++) {
    Step(session->currentframe + 1);
    ExpectOn(f, f);
  }
  Step(session->currentframe + 1);  // past the last frame, paused: back to frame 0
  ExpectOn(0, 0);
  EXPECT_EQ(session->autoplay, 0);
}

TEST_F(NavigationTest, PlaybackLoopsOrStopsAtTheEnd) {
  Open(3, 3);
  session->autoplay = 1;
  Step(0);
  Step(1);
  Step(2);
  Step(session->currentframe + session->playdir);  // looping: on through frame 0
  ExpectOn(0, 0);
  EXPECT_EQ(session->autoplay, 1);

  session->looptype = 0;  // play once: stop on the last frame
  Step(1);
  Step(2);
  Step(session->currentframe + session->playdir);
  ExpectOn(2, 2);
  EXPECT_EQ(session->autoplay, 0);
}

TEST_F(NavigationTest, BackStepReadsThePreviousFrame) {
  Open(8, 8);
  Step(0);
  for (int f = 1; f <= 5; f++) Step(f);
  ExpectOn(5, 5);
  Step(4);
  ExpectOn(4, 4);
  Step(3);
  ExpectOn(3, 3);
  Step(4);  // and forward again
  ExpectOn(4, 4);
}

TEST_F(NavigationTest, BackStepFromFrameZero) {
  Open(6, 6);
  Step(0);
  Step(-1);  // paused: to the last frame
  ExpectOn(5, 5);

  Step(0);
  session->autoplay = 1;  // looping: to the last frame too
  Step(-1);
  ExpectOn(5, 5);

  Step(0);
  session->looptype = 0;  // play once: the direction turns, the next record is frame 1
  session->playdir = -1;
  Step(-1);
  EXPECT_EQ(session->playdir, 1);
  ExpectOn(1, 1);
}

TEST_F(NavigationTest, ShortFileEndsOnTheLastFramePresent) {
  Open(8, 5);  // the header promises 8 frames, the file holds 5
  Step(0);
  Step(-1);
  EXPECT_EQ(session->currentframe, 7);
  EXPECT_EQ(ShownFrame(), 4);
  const off_t size = (off_t)CurrentFileSize(session->movie);
  EXPECT_EQ(size, 12 + 5 * kRecord);
}

TEST_F(NavigationTest, OneFrameMovieRereadsFrameZero) {
  Open(1, 1);
  Step(0);
  ExpectOn(0, 0);
  for (int i = 0; i < 3; i++) {
    session->settings.exposure = (float)(i + 1);  // a new conversion shows the new exposure
    Step(session->currentframe + 1);
    ExpectOn(0, 0, i + 1);
  }
  session->autoplay = 1;
  session->settings.exposure = 0.0f;
  Step(session->currentframe + 1);
  ExpectOn(0, 0);
  Step(session->currentframe - 1);
  ExpectOn(0, 0);
}

TEST_F(NavigationTest, RequestForTheShownFrameReadsItAgain) {
  Open(6, 6);
  Step(0);
  session->settings.exposure = 1.0f;
  Step(0);  // frame 0 while on frame 0
  ExpectOn(0, 0, 1);

  session->settings.exposure = 0.0f;
  Step(1);
  Step(2);
  Step(3);
  session->settings.exposure = -1.0f;
  ::testing::internal::CaptureStderr();
  Step(3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ExpectOn(3, 3, -1);
  session->settings.exposure = 0.0f;
  Step(4);
  ExpectOn(4, 4);
}

TEST_F(NavigationTest, UnexpectedDifferenceStepsOneFrame) {
  Open(10, 10);
  Step(0);
  Step(1);
  Step(2);
  ::testing::internal::CaptureStderr();
  Step(session->currentframe + 3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Got unexpected frame difference\n");
  ExpectOn(3, 3);
  Step(4);
  Step(5);
  ::testing::internal::CaptureStderr();
  Step(session->currentframe - 3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Got unexpected frame difference\n");
  ExpectOn(4, 4);
  ::testing::internal::CaptureStderr();
  Step(session->currentframe + 1);  // a step of one says nothing
  Step(session->currentframe - 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(NavigationTest, FailedReadEndsTheRunWithTheFrameNumber) {
  const struct {
    int present;
    size_t cut;
    int fails_at;
    const char *message;
  } cases[] = {
      {5, 0, 5, "Error reading Maximum Lum in scene data\n"},
      {5, kRecord - 12, 4, "Error reading the Log Average in scene data\n"},
      {5, 1, 4, "Error reading image data\n"},
      {0, 0, 0, "Error reading Maximum Lum in scene data\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    Open(8, c.present, 1, c.cut);
    ::testing::internal::CaptureStderr();
    bool ended = false;
    try {
      Step(0);
      while (session->currentframe < c.fails_at) Step(session->currentframe + 1);
    } catch (const ReadFailed &) {
      ended = true;
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended);
    EXPECT_EQ(session->currentframe, c.fails_at);
    EXPECT_EQ(err, std::string(c.message) + "Failed to read rgbe buffer, frame " +
                       std::to_string(c.fails_at) + "\n");
  }
}

TEST_F(NavigationTest, PlainPathLeavesTheAdaptationAlone) {
  Open(3, 3);
  Step(0);
  EXPECT_EQ(session->adapted[0], 0.0);
  session->settings.tmo = 1;
  Step(1);
  EXPECT_EQ(session->adapted[0], (0.0 + 2.0) * 0.5);
  session->settings.tmo = 0;
  Step(2);
  EXPECT_EQ(session->adapted[0], 1.0);
  session->settings.tmo = 1;
  Step(0);  // rewinding does not reset it either
  EXPECT_EQ(session->adapted[0], (1.0 + 1.0) * 0.5);
}

TEST_F(NavigationTest, ByteSwapAlsoSwapsThePictureStatistics) {
  const std::vector<Record> records = MarkedMovie(2, 1, W, H);
  const std::string plain = WriteMovie("swap_plain", W, H, 1, 2, records);
  const std::string swapped = WriteMovie("swap_swapped", W, H, 1, 2, records, true);

  session = OpenMovie(plain, W, H, 1, 2);
  session->settings.tmo = 1;
  Step(0);
  Step(1);
  const std::vector<float> want(Out(), Out() + 3 * W * H);
  const double want_adapted = session->adapted[0];

  session = OpenMovie(swapped, W, H, 1, 2, 1);  // doubles byte-swapped
  session->settings.tmo = 1;
  Step(0);
  EXPECT_EQ(session->logAv, 1.0);
  Step(1);
  EXPECT_EQ(session->logAv, 2.0);
  EXPECT_EQ(session->adapted[0], want_adapted);
  EXPECT_EQ(memcmp(Out(), want.data(), want.size() * sizeof(float)), 0);
}

TEST_F(NavigationTest, TwoEyedMovieStepsByPairs) {
  Open(4, 4, 2);
  EXPECT_EQ((off_t)session->movie.frame_size, 2 * kRecord);
  auto expect_pair = [&](int cur, int frame) {
    EXPECT_EQ(session->currentframe, cur);
    EXPECT_EQ(ShownFrame(), frame);
    EXPECT_EQ(ShownEye(), 0);
    EXPECT_EQ(ShownFrame(1), frame);
    EXPECT_EQ(ShownEye(1), 1);
    EXPECT_EQ((off_t)session->position, 12 + (frame + 1) * 2 * kRecord);
  };
  Step(0);
  expect_pair(0, 0);
  Step(1);
  expect_pair(1, 1);
  Step(2);
  Step(3);
  expect_pair(3, 3);
  Step(2);
  expect_pair(2, 2);
  Step(2);
  expect_pair(2, 2);
  Step(3);
  Step(4);  // wrap
  expect_pair(0, 0);
  Step(-1);  // back from frame 0: the last pair
  expect_pair(3, 3);
  ::testing::internal::CaptureStderr();
  Step(0);
  Step(3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Got unexpected frame difference\n");
  expect_pair(1, 1);
}

TEST_F(NavigationTest, TwoEyesAdaptEachOnItsOwn) {
  Open(3, 3, 2);
  session->settings.tmo = 1;
  Step(0);  // left logAv 1, right 1.25
  EXPECT_EQ(session->adapted[0], 0.5);
  EXPECT_EQ(session->adapted[1], 0.625);
  Step(1);  // left 2, right 2.25
  EXPECT_EQ(session->adapted[0], 1.25);
  EXPECT_EQ(session->adapted[1], 1.4375);
  // The colours follow each eye's record: (f + 1, e + 1, 5).
  EXPECT_NEAR(Out()[1] / Out()[0], 1.0 / 2.0, 1e-6);
  EXPECT_NEAR(Out(1)[1] / Out(1)[0], 2.0 / 2.0, 1e-6);
  EXPECT_NEAR(Out(1)[2] / Out(1)[0], 5.0 / 2.0, 1e-6);
}

TEST_F(NavigationTest, FailedRightEyeNamesTheFrame) {
  Open(3, 3, 2, 1);  // the right eye of frame 2 is a byte short
  ::testing::internal::CaptureStderr();
  bool ended = false;
  try {
    Step(0);
    Step(1);
    Step(2);
  } catch (const ReadFailed &) {
    ended = true;
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error reading image data\nFailed to read rgbe buffer, frame 2\n");
}

TEST_F(NavigationTest, OtherEyeCountsShowTheFirstRecordOfEachFrame) {
  Open(3, 3, 3);  // three records a frame
  EXPECT_EQ((off_t)session->movie.frame_size, 3 * kRecord);
  Step(0);
  EXPECT_EQ(ShownFrame(), 0);
  EXPECT_EQ(ShownEye(), 0);
  Step(1);
  Step(2);
  EXPECT_EQ(ShownFrame(), 2);
  EXPECT_EQ(ShownEye(), 0);
  EXPECT_EQ((off_t)session->position, 12 + 3 * 3 * kRecord);
  Step(1);
  EXPECT_EQ(ShownFrame(), 1);
  EXPECT_EQ(ShownEye(), 0);
  EXPECT_EQ(Out(1)[0], 0.0f);  // no second picture is shown
  session->settings.tmo = 1;
  Step(2);
  EXPECT_EQ(session->adapted[0], 0.5 * 3.0);  // only the shown record adapts

  // No eyes at all: one record a frame.
  path_ = WriteMovie("no_eyes", W, H, 0, 3, MarkedMovie(3, 1, W, H));
  session = OpenMovie(path_, W, H, 0, 3);
  EXPECT_EQ((off_t)session->movie.frame_size, kRecord);
  Step(0);
  Step(1);
  Step(2);
  ExpectOn(2, 2);
  Step(1);
  ExpectOn(1, 1);
}

TEST_F(NavigationTest, PositionsBeyondFourGibibytes) {
  // A sparse movie of 16 x 16 pictures with more than 2^32 bytes of frames:
  // only the header and the last frame hold data.
  const int w = 16, h = 16, n = 4200000;
  const off_t record = 16 + 4 * w * h;
  const off_t size = 12 + (off_t)n * record;
  ASSERT_GT(size, (off_t)1 << 32);
  const std::string path = WriteMovie("sparse", w, h, 1, n, {});
  const Record last = MarkedRecord(41, 0, w, h);
  {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, size) != 0) {
      close(fd);
      GTEST_SKIP() << "no room for a sparse file here";
    }
    double stats[2] = {last.maxLum, last.logAv};
    ASSERT_EQ(pwrite(fd, stats, 16, size - record), 16);
    ASSERT_EQ(pwrite(fd, last.pixels.data(), last.pixels.size(), size - record + 16),
              (ssize_t)last.pixels.size());
    close(fd);
  }
  session = OpenMovie(path, w, h, 1, n);
  EXPECT_EQ((off_t)session->movie.frame_size, record);
  Step(0);
  Step(-1);  // to the last frame, past 4 GiB
  EXPECT_EQ(session->currentframe, n - 1);
  EXPECT_EQ(Out()[0], 42.0f);
  EXPECT_EQ((off_t)session->position, size);
  Step(n - 2);  // back one: a hole in the file, all zero bytes
  EXPECT_EQ(session->currentframe, n - 2);
  EXPECT_EQ((off_t)session->position, size - record);
  EXPECT_EQ(Out()[0], 1e-6f);
  Step(n - 1);
  EXPECT_EQ(Out()[0], 42.0f);
  session.reset();
  unlink(path.c_str());
}

TEST(MovieGeometry, SizesAndOffsetsAreSixtyFourBit) {
  MovieHeader header{};
  header.width = 31999;
  header.height = 31999;
  header.eyes = 2;
  MovieFile movie;
  AdoptMovieFile(&movie, -1, header, 0);
  EXPECT_EQ(movie.npixels, 1023936001u);                  // 31999^2
  EXPECT_EQ((off_t)movie.frame_size, (off_t)8191488040LL);  // 2 x (16 + 4 x 1023936001)
  header.eyes = 7;
  AdoptMovieFile(&movie, -1, header, 0);
  EXPECT_EQ((off_t)movie.frame_size, (off_t)28670208140LL);  // 7 x 4095744020
  header.eyes = 0;
  AdoptMovieFile(&movie, -1, header, 0);
  EXPECT_EQ((off_t)movie.frame_size, (off_t)4095744020LL);
}

}  // namespace
