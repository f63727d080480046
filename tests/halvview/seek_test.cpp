// Seeking: a frame read directly at its place in the file, the adaptation
// moved on as for any frame shown, a frame that cannot be read leaving
// everything as it was, the timeline's columns; and the playing modes
// (loop, play once, ping-pong, either direction) through the stepping rules.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "probe.h"
#include "lookahead.h"
#include "pool.h"

namespace {

constexpr int W = 6, H = 5;
constexpr off_t kRecord = 16 + 4 * W * H;

class SeekTest : public CoreTest {
 protected:
  void TearDown() override {
    CoreTest::TearDown();
    pool.reset();
  }
  // A movie whose header says `nframes` and which holds `present` marked
  // frames, less `cut` bytes at the end; with `threads` > 1 a pool of
  // workers converts and prepares ahead.
  void Open(int nframes, int present, int eyes = 1, size_t cut = 0, unsigned threads = 1) {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const int records = eyes > 1 ? eyes : 1;
    path_ = WriteMovie(name + std::to_string(opened_++), W, H, eyes, nframes, MarkedMovie(present, records, W, H),
                       false, cut);
    session = OpenMovie(path_, W, H, eyes, nframes);
    pool.reset(threads > 1 ? new WorkerPool(threads) : nullptr);
    session->pool = pool.get();
  }
  void Step(int frame) {
    if (!HandleNextFrame(session.get(), frame)) throw ReadFailed{};
  }
  // On frame `frame`, showing it, the file position at its end.
  void ExpectOn(int frame) {
    EXPECT_EQ(session->currentframe, frame);
    EXPECT_EQ(ShownFrame(), frame);
    EXPECT_EQ((off_t)session->position, 12 + (frame + 1) * (off_t)session->movie.frame_size);
  }
  // Plays `steps` steps as the idle callback does and lists the frames.
  std::vector<int> Play(int steps) {
    std::vector<int> seen;
    for (int i = 0; i < steps && session->autoplay; i++) {
      Step(session->currentframe + session->playdir);
      EXPECT_EQ(ShownFrame(), session->currentframe);
      EXPECT_EQ((off_t)session->position, 12 + (session->currentframe + 1) * (off_t)session->movie.frame_size);
      seen.push_back(session->currentframe);
    }
    return seen;
  }

  std::string path_;
  int opened_ = 0;
  std::unique_ptr<WorkerPool> pool;
};

TEST_F(SeekTest, ReadsTheFrameAtItsPlaceAndSaysNothingOfTheDifference) {
  Open(30, 30);
  Step(0);
  const long version = session->picture_version;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(SeekToFrame(session.get(), 17), 1);
  EXPECT_EQ(SeekToFrame(session.get(), 3), 1);
  EXPECT_EQ(SeekToFrame(session.get(), 29), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ExpectOn(29);
  EXPECT_EQ(session->logAv, 30.0);  // the record's own statistics
  EXPECT_GT(session->picture_version, version);
  // Stepping goes on from the frame sought.
  Step(28);
  ExpectOn(28);
  Step(29);
  ExpectOn(29);
}

TEST_F(SeekTest, DebugPrintsTheFrameSought) {
  Open(12, 12);
  Step(0);
  session->debug = 1;
  ::testing::internal::CaptureStderr();
  SeekToFrame(session.get(), 11);
  SeekToFrame(session.get(), 11);  // the frame shown: nothing
  session->debug = 0;
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Seek to frame 11\n");
}

TEST_F(SeekTest, MovesTheCausalAdaptationAsAnyFrameShownAndNeverResetsIt) {
  Open(20, 20);
  session->settings.tmo = 1;
  Step(0);
  Step(1);
  const double before = session->adapted[0];  // (0 + 1) / 2, then halfway to 2
  EXPECT_EQ(before, 1.25);
  SeekToFrame(session.get(), 15);  // logAv 16
  EXPECT_EQ(session->adapted[0], (before + 16.0) * 0.5);
  SeekToFrame(session.get(), 0);  // to frame 0: halfway again, not back to the start
  EXPECT_EQ(session->adapted[0], ((before + 16.0) * 0.5 + 1.0) * 0.5);
  // The frame shown is not converted again: the adaptation stays.
  const double now = session->adapted[0];
  SeekToFrame(session.get(), 0);
  EXPECT_EQ(session->adapted[0], now);
}

TEST_F(SeekTest, ClampsToTheMovie) {
  Open(25, 25);
  Step(0);
  SeekToFrame(session.get(), session->currentframe + 1000);
  ExpectOn(24);
  SeekToFrame(session.get(), session->currentframe + SEEK_STEP);
  ExpectOn(24);
  SeekToFrame(session.get(), session->currentframe - SEEK_STEP);
  ExpectOn(14);
  SeekToFrame(session.get(), -7);
  ExpectOn(0);
}

TEST_F(SeekTest, AFrameThatCannotBeReadLeavesEverythingAsItWas) {
  // The header promises 10 frames; the file holds 6, the last cut short.
  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    Open(10, 6, 1, 7, threads);
    session->settings.tmo = 1;
    session->autoplay = threads > 1;  // playing: a frame is being prepared ahead
    Step(0);
    Step(1);
    Step(2);
    const std::vector<float> picture(Out(), Out() + 3 * session->movie.npixels);
    const std::vector<unsigned char> pixels(ShownPixels(*session, 0), ShownPixels(*session, 0) + 4 * session->movie.npixels);
    const double adapted = session->adapted[0], last = session->logAv;
    const off_t position = (off_t)session->position;
    const long version = session->picture_version;
    for (int target : {8, 9, 5}) {  // past the file's end, and cut inside the pixels
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(SeekToFrame(session.get(), target), 0);
      EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                "Frame " + std::to_string(target) + " cannot be read, staying on frame 2\n");
      EXPECT_EQ(session->currentframe, 2);
      EXPECT_EQ(memcmp(Out(), picture.data(), picture.size() * sizeof(float)), 0);
      EXPECT_EQ(memcmp(ShownPixels(*session, 0), pixels.data(), pixels.size()), 0);
      EXPECT_EQ(session->adapted[0], adapted);
      EXPECT_EQ(session->logAv, last);
      EXPECT_EQ((off_t)session->position, position);
      EXPECT_EQ(session->picture_version, version);
    }
    // The player goes on as before: the next frames step and play.
    session->settings.tmo = 0;
    Step(3);
    ExpectOn(3);
    EXPECT_EQ(SeekToFrame(session.get(), 4), 1);
    ExpectOn(4);
    session.reset();
    pool.reset();
  }
}

TEST_F(SeekTest, ARightEyeCutShortShowsNeitherEye) {
  Open(4, 4, 2, 1);  // the right eye of frame 3 is a byte short
  Step(0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(SeekToFrame(session.get(), 3), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Frame 3 cannot be read, staying on frame 0\n");
  EXPECT_EQ(ShownFrame(), 0);
  EXPECT_EQ(ShownFrame(1), 0);
  EXPECT_EQ(SeekToFrame(session.get(), 2), 1);
  EXPECT_EQ(ShownFrame(), 2);
  EXPECT_EQ(ShownEye(), 0);
  EXPECT_EQ(ShownFrame(1), 2);
  EXPECT_EQ(ShownEye(1), 1);
  EXPECT_EQ((off_t)session->position, 12 + 3 * 2 * kRecord);
  // Each eye's raw pixels are kept: (frame + 1, eye + 1, 5).
  EXPECT_EQ(ShownPixels(*session, 0)[0], 3);
  EXPECT_EQ(ShownPixels(*session, 0)[1], 1);
  EXPECT_EQ(ShownPixels(*session, 1)[0], 3);
  EXPECT_EQ(ShownPixels(*session, 1)[1], 2);
}

TEST_F(SeekTest, WithWorkersShowsWhatOneThreadShowsAndPlaysOnFromThere) {
  long used = 0;  // prepared frames the last run took
  auto run = [&](unsigned threads) {
    Open(40, 40, 1, 0, threads);
    session->settings.tmo = 1;
    session->autoplay = 1;
    std::vector<double> seen;
    Step(0);
    for (int target : {25, 26, 3, 39, 0, 12}) {
      SeekToFrame(session.get(), target);
      seen.push_back(session->currentframe);
      seen.push_back(session->adapted[0]);
      seen.insert(seen.end(), Out(), Out() + 3 * session->movie.npixels);
      for (int i = 0; i < 3; i++) {
        Step(session->currentframe + session->playdir);
        seen.push_back(session->currentframe);
        seen.push_back(session->adapted[0]);
        seen.insert(seen.end(), Out(), Out() + 3 * session->movie.npixels);
      }
    }
    used = session->ahead.used;
    session.reset();
    pool.reset();
    return seen;
  };
  const auto one = run(1);
  const auto two = run(3);
  EXPECT_EQ(one, two);
  // Playing on after each seek took the frames prepared ahead from there.
  EXPECT_GE(used, 6 * 3);
}

TEST_F(SeekTest, InLookAheadModeASeekShowsWhatSteppingThereShows) {
  // The look-ahead window depends on the frame alone, not on the way the
  // player came to it: frame 9 sought from frame 0 is frame 9 stepped to.
  auto picture_of_9 = [&](bool seek) {
    Open(16, 16);
    EXPECT_EQ(session->statistics.frames, 16);  // the look-ahead windows' statistics
    session->settings.tmo = 1;
    session->settings.lookahead = 1;
    session->settings.radius = 3;
    Step(0);
    if (seek) {
      SeekToFrame(session.get(), 9);
    } else {
      for (int f = 1; f <= 9; f++) Step(f);
    }
    EXPECT_EQ(session->currentframe, 9);
    std::vector<float> picture(Out(), Out() + 3 * session->movie.npixels);
    return picture;
  };
  const std::vector<float> stepped = picture_of_9(false), sought = picture_of_9(true);
  EXPECT_EQ(sought, stepped);
  // The causal mode remembers the way: there the two differ.
  Open(16, 16);
  session->settings.tmo = 1;
  Step(0);
  SeekToFrame(session.get(), 9);
  EXPECT_NE(std::vector<float>(Out(), Out() + 3 * session->movie.npixels), sought);
}

TEST_F(SeekTest, PositionsBeyondFourGibibytes) {
  const int w = 16, h = 16, n = 4200000;
  const off_t record = 16 + 4 * w * h;
  const off_t size = 12 + (off_t)n * record;
  const std::string path = WriteMovie("seek_sparse", w, h, 1, n, {});
  const int target = n - 3;
  const Record marked = MarkedRecord(41, 0, w, h);
  {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, size) != 0) {
      close(fd);
      GTEST_SKIP() << "no room for a sparse file here";
    }
    const off_t at = 12 + (off_t)target * record;
    double stats[2] = {marked.maxLum, marked.logAv};
    ASSERT_EQ(pwrite(fd, stats, 16, at), 16);
    ASSERT_EQ(pwrite(fd, marked.pixels.data(), marked.pixels.size(), at + 16), (ssize_t)marked.pixels.size());
    close(fd);
  }
  session = OpenMovie(path, w, h, 1, n);
  Step(0);
  EXPECT_EQ(SeekToFrame(session.get(), target), 1);
  EXPECT_EQ(session->currentframe, target);
  EXPECT_EQ(Out()[0], 42.0f);
  EXPECT_EQ((off_t)session->position, 12 + (off_t)(target + 1) * record);
  session.reset();
  unlink(path.c_str());
}

TEST(Timeline, EveryColumnShowsAFrameAndTheFilledPartEndsWithTheFrameShown) {
  for (int width : {1, 7, 48, 320, 1921}) {
    for (int nframes : {1, 2, 3, 10, 48, 1000, 100000}) {
      SCOPED_TRACE(std::to_string(width) + " columns, " + std::to_string(nframes) + " frames");
      EXPECT_EQ(TimelineFrame(0, width, nframes), 0);
      EXPECT_EQ(TimelineFrame(-5, width, nframes), 0);
      EXPECT_EQ(TimelineFrame(width + 5, width, nframes), nframes - 1);
      int previous = -1, distinct = 0;
      for (int x = 0; x < width; x++) {
        const int f = TimelineFrame(x, width, nframes);
        ASSERT_GE(f, previous);
        ASSERT_LT(f, nframes);
        distinct += f != previous;
        previous = f;
        // Column x lies in its frame's part of the bar: filled when that
        // frame is shown, not yet when the frame before it is.
        EXPECT_LT(x, TimelineFilled(f, width, nframes));
        if (f > 0) {
          EXPECT_GE(x, TimelineFilled(f - 1, width, nframes));
        }
      }
      // Every frame has a column of its own when there are enough columns.
      EXPECT_EQ(distinct, width >= nframes ? nframes : width);
      if (width >= nframes) {
        EXPECT_EQ(previous, nframes - 1);
      }
      EXPECT_EQ(TimelineFilled(nframes - 1, width, nframes), width);
      EXPECT_GE(TimelineFilled(0, width, nframes), 1);
    }
  }
}

// ---- Playing modes ---------------------------------------------------------

using PlayModeTest = SeekTest;

TEST_F(PlayModeTest, LKeyCyclesLoopPlayOncePingPongAndRReverses) {
  session = SetUpPlayer(W, H);
  session->looptype = 1;
  session->playdir = 1;
  EXPECT_EQ(PlayModeText(*session), "Loop, forward");
  CycleLoopMode(session.get());
  EXPECT_EQ(session->looptype, 0);
  EXPECT_EQ(PlayModeText(*session), "Play once, forward");
  CycleLoopMode(session.get());
  EXPECT_EQ(session->looptype, 2);
  ReversePlaying(session.get());
  EXPECT_EQ(session->playdir, -1);
  EXPECT_EQ(PlayModeText(*session), "Ping-pong, backward");
  CycleLoopMode(session.get());
  EXPECT_EQ(session->looptype, 1);
  ReversePlaying(session.get());
  EXPECT_EQ(session->playdir, 1);
}

TEST_F(PlayModeTest, LoopWrapsInEitherDirection) {
  Open(4, 4);
  Step(0);
  session->autoplay = 1;
  EXPECT_EQ(Play(6), (std::vector<int>{1, 2, 3, 0, 1, 2}));
  ReversePlaying(session.get());
  EXPECT_EQ(Play(6), (std::vector<int>{1, 0, 3, 2, 1, 0}));
  EXPECT_EQ(session->autoplay, 1);
}

TEST_F(PlayModeTest, PlayOnceStopsOnTheLastFrameAndTurnsAtTheFirst) {
  Open(4, 4);
  Step(0);
  session->looptype = 0;
  session->autoplay = 1;
  EXPECT_EQ(Play(10), (std::vector<int>{1, 2, 3, 3}));
  EXPECT_EQ(session->autoplay, 0);
  // Backwards the player's own rule turns at frame 0 and plays on to the
  // last frame, where it stops.
  session->autoplay = 1;
  ReversePlaying(session.get());
  EXPECT_EQ(Play(10), (std::vector<int>{2, 1, 0, 1, 2, 3, 3}));
  EXPECT_EQ(session->playdir, 1);
  EXPECT_EQ(session->autoplay, 0);
}

TEST_F(PlayModeTest, PingPongTurnsAtBothEnds) {
  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    Open(4, 4, 1, 0, threads);
    Step(0);
    session->looptype = 2;
    session->autoplay = 1;
    EXPECT_EQ(Play(12), (std::vector<int>{1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1, 0}));
    EXPECT_EQ(session->playdir, -1);  // it turns with the next step
    EXPECT_EQ(session->autoplay, 1);
    if (threads > 1) {
      // The turns were prepared ahead like every other step.
      EXPECT_EQ(session->ahead.used, 11);
    }
    session.reset();
    pool.reset();
  }
}

TEST_F(PlayModeTest, PausedStepsKeepTheirRulesInEveryMode) {
  Open(3, 3);
  Step(0);
  for (int mode : {0, 2}) {
    session->looptype = mode;
    SeekToFrame(session.get(), 2);
    Step(session->currentframe + 1);  // '.' past the last frame: the first
    ExpectOn(0);
    Step(session->currentframe - 1);  // ',' before the first: the last
    ExpectOn(2);
    EXPECT_EQ(session->playdir, 1);
  }
}

TEST_F(PlayModeTest, AOneFrameMovieTurnsOnItsOnlyFrame) {
  Open(1, 1);
  Step(0);
  session->autoplay = 1;
  for (int mode : {2, 0}) {
    session->looptype = mode;
    session->playdir = -1;
    ::testing::internal::CaptureStderr();
    const std::vector<int> seen = Play(4);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(seen.front(), 0);
    for (int f : seen) EXPECT_EQ(f, 0);
    ExpectOn(0);
    session->autoplay = 1;
  }
}

}  // namespace
