// Frames prepared ahead while playing: taken only when nothing that affects
// them has changed, thrown away without a trace otherwise, and a failed
// read while preparing reported when that frame is asked for. Each run with
// workers is compared with the same run converted on one thread alone.
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "pool.h"

namespace {

constexpr int W = 37, H = 20, FRAMES = 6;

// Records whose pictures and statistics differ from frame to frame, so that
// the adaptation and the pictures tell the frames and their order apart.
std::vector<Record> Movie() {
  std::vector<Record> records;
  for (int f = 0; f < FRAMES; f++) {
    Record r = MarkedRecord(f, 0, W, H);
    for (size_t k = 0; k < r.pixels.size(); k += 4) {
      r.pixels[k + 2] = (uint8_t)(5 + (k / 4) % 31);  // rough blocks
      r.pixels[k + 3] = (uint8_t)(128 + (k / 4 + f) % 9);
    }
    r.logAv = 0.5 + 0.75 * f;
    r.maxLum = 900.0 + 100.0 * f;
    records.push_back(r);
  }
  return records;
}

// What a run shows after each of its steps.
struct Shown {
  int frame;
  double adapted;
  std::vector<float> picture;
  bool operator==(const Shown &o) const {
    return frame == o.frame && memcmp(&adapted, &o.adapted, sizeof adapted) == 0 && picture == o.picture;
  }
};

// A run: steps with autoplay on (so each step prepares the next frame when
// there are workers), with a change of settings before some of them.
using Change = std::function<void(Session *)>;

class PrepareTest : public CoreTest {
 protected:
  void TearDown() override {
    CoreTest::TearDown();
    pool.reset();
  }

  std::vector<Shown> Run(unsigned threads, const std::string &path, const std::vector<std::pair<int, Change>> &steps,
                         bool *ended = nullptr) {
    session = OpenMovie(path, W, H, 1, FRAMES);
    pool.reset(threads > 1 ? new WorkerPool(threads) : nullptr);
    session->pool = pool.get();
    session->settings.tmo = 1;
    session->autoplay = 1;
    std::vector<Shown> shown;
    if (ended) *ended = false;
    for (const auto &step : steps) {
      if (step.second) step.second(session.get());
      const int frame = step.first == -2 ? session->currentframe + session->playdir : step.first;
      if (!HandleNextFrame(session.get(), frame)) {
        if (ended) *ended = true;
        break;
      }
      shown.push_back({session->currentframe, session->adapted[0], std::vector<float>(Out(), Out() + 3 * W * H)});
    }
    StopReadAhead(session.get());  // the one prepared after the last step
    used = session->ahead.used;
    discarded = session->ahead.discarded + session->cache.dropped + (long)session->cache.made.size();
    session.reset();
    pool.reset();
    return shown;
  }

  std::unique_ptr<WorkerPool> pool;
  long used = 0, discarded = 0;  // the last run's prepared frames taken and thrown away
};

constexpr int NEXT = -2;  // the next frame in the playing direction, as playback asks

TEST_F(PrepareTest, PlayingTakesThePreparedFramesAndShowsWhatOneThreadShows) {
  const std::string path = WriteMovie("prepare_play", W, H, 1, FRAMES, Movie());
  std::vector<std::pair<int, Change>> steps(15, {NEXT, nullptr});
  steps[0].first = 0;
  const auto one = Run(1, path, steps);
  const auto two = Run(2, path, steps);
  ASSERT_EQ(one.size(), steps.size());
  EXPECT_EQ(one, two);
  EXPECT_EQ(used, 14);  // every step after the first
  EXPECT_EQ(discarded, 1);  // the one prepared after the last step
}

TEST_F(PrepareTest, EveryChangeThatAffectsTheNextFrameThrowsThePreparedOneAway) {
  const std::string path = WriteMovie("prepare_keys", W, H, 1, FRAMES, Movie());
  const std::vector<std::pair<int, Change>> steps = {
      {0, nullptr},
      {NEXT, nullptr},
      {NEXT, [](Session *s) { s->settings.exposure += 1.0f; }},     // '+'
      {NEXT, [](Session *s) { s->settings.exposure -= 0.1f; }},     // Shift '-'
      {NEXT, [](Session *s) { s->settings.biasParam += 0.02f; }},   // PageUp
      {NEXT, [](Session *s) { s->settings.tmo = 0; }},              // 't'
      {NEXT, [](Session *s) { s->settings.tmo = 1; }},              // 't' again
      {-1, nullptr},                        // ',' from frame 0: the last frame, not the one prepared
      {NEXT, nullptr},
      {0, nullptr},                         // '1'
      {NEXT, nullptr},
      {NEXT, [](Session *s) { s->playdir = -1; }},         // the other direction
      {NEXT, nullptr},
  };
  const auto one = Run(1, path, steps);
  const auto two = Run(3, path, steps);
  ASSERT_EQ(one.size(), steps.size());
  for (size_t i = 0; i < one.size(); i++) EXPECT_TRUE(one[i] == two[i]) << "step " << i;
  // Thrown away: after the two exposure changes, the bias, tone mapping
  // off and on, the step back, '1' and the change of direction, and the
  // one prepared after the last step; taken at the four other steps.
  EXPECT_EQ(discarded, 9);
  EXPECT_EQ(used, 4);
}

TEST_F(PrepareTest, AThrownAwayFrameLeavesTheAdaptationWhereItWas) {
  const std::string path = WriteMovie("prepare_adapt", W, H, 1, FRAMES, Movie());
  // The frame prepared after step 1 (frame 2) is thrown away when the
  // player steps back to frame 0; the adaptation must then follow frames
  // 0, 1, 0, 1, 2 exactly, as without preparing.
  const std::vector<std::pair<int, Change>> steps = {{0, nullptr}, {NEXT, nullptr}, {0, nullptr},
                                                     {NEXT, nullptr}, {NEXT, nullptr}};
  const auto one = Run(1, path, steps);
  const auto two = Run(2, path, steps);
  ASSERT_EQ(two.size(), steps.size());
  for (size_t i = 0; i < one.size(); i++) {
    EXPECT_EQ(two[i].frame, one[i].frame) << i;
    EXPECT_EQ(two[i].adapted, one[i].adapted) << i;
  }
  EXPECT_TRUE(one == two);
}

TEST_F(PrepareTest, AFailedReadWhilePreparingIsReportedWhenThatFrameIsAskedFor) {
  // Frame 4 is cut short: it is prepared ahead while frame 3 is shown, and
  // the read fails on the worker. Frame 3 must still show, and asking for
  // frame 4 must fail with the one-thread messages.
  const std::string path = WriteMovie("prepare_cut", W, H, 1, FRAMES, Movie(), false,
                                      2 * (size_t)(16 + 4 * W * H) - 100);
  std::vector<std::pair<int, Change>> steps(6, {NEXT, nullptr});
  steps[0].first = 0;
  bool ended_one = false, ended_two = false;
  ::testing::internal::CaptureStderr();
  const auto one = Run(1, path, steps, &ended_one);
  const std::string err_one = ::testing::internal::GetCapturedStderr();
  ::testing::internal::CaptureStderr();
  const auto two = Run(2, path, steps, &ended_two);
  const std::string err_two = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ended_one);
  EXPECT_TRUE(ended_two);
  ASSERT_EQ(one.size(), 4u);  // frames 0 to 3
  EXPECT_EQ(one, two);
  EXPECT_EQ(err_one, "Error reading image data\nFailed to read rgbe buffer, frame 4\n");
  EXPECT_EQ(err_two, err_one);
}

TEST_F(PrepareTest, StereoPairsKeepEachEyesAdaptation) {
  std::vector<Record> records;
  for (int f = 0; f < 4; f++)
    for (int eye = 0; eye < 2; eye++) {
      Record r = MarkedRecord(f, eye, W, H);
      r.logAv = 0.25 + f + 2.0 * eye;
      records.push_back(r);
    }
  const std::string path = WriteMovie("prepare_pair", W, H, 2, 4, records);
  // Tone-mapped: both eyes' pictures and adaptation as with one thread.
  // Plain: each eye shows its own record of the frame.
  auto run = [&](unsigned threads, int mode) {
    session = OpenMovie(path, W, H, 2, 4);
    pool.reset(threads > 1 ? new WorkerPool(threads) : nullptr);
    session->pool = pool.get();
    session->settings.tmo = mode;
    session->autoplay = 1;
    std::vector<double> seen;
    EXPECT_TRUE(HandleNextFrame(session.get(), 0));
    for (int i = 0; i < 7; i++) {
      EXPECT_TRUE(HandleNextFrame(session.get(), session->currentframe + 1));
      seen.push_back(session->adapted[0]);
      seen.push_back(session->adapted[1]);
      seen.insert(seen.end(), Out(), Out() + 3 * session->movie.npixels);
      seen.insert(seen.end(), Out(1), Out(1) + 3 * session->movie.npixels);
      if (mode == 0) {
        EXPECT_EQ(ShownFrame(), session->currentframe);
        EXPECT_EQ(ShownFrame(1), session->currentframe);
        EXPECT_EQ(ShownEye(), 0);
        EXPECT_EQ(ShownEye(1), 1);
      }
    }
    session.reset();
    pool.reset();
    return seen;
  };
  EXPECT_EQ(run(1, 1), run(2, 1));
  EXPECT_EQ(run(1, 0), run(2, 0));
}

TEST_F(PrepareTest, ASettingChangedWhilePreparingShowsTheFrameMadeWithTheNewSetting) {
  const std::string path = WriteMovie("prepare_change", W, H, 1, FRAMES, Movie());
  const struct {
    const char *what;
    Change change;
  } changes[] = {
      {"look-ahead radius", [](Session *s) { s->settings.radius = 1; }},
      {"AVX2 kernels", [](Session *s) { s->settings.avx = 1; }},
      {"exposure", [](Session *s) { s->settings.exposure = 1.5f; }},
      {"tone mapping", [](Session *s) { s->settings.tmo = 0; }},
      {"bias", [](Session *s) { s->settings.biasParam = 0.7f; }},
      {"look-ahead off", [](Session *s) { s->settings.lookahead = 0; }},
  };
  // Frame 0 shown, frame 1 prepared (with workers), the change, frame 1
  // shown: its picture and adaptation.
  auto show = [&](unsigned threads, const Change &change) {
    session = OpenMovie(path, W, H, 1, FRAMES);
    pool.reset(threads > 1 ? new WorkerPool(threads) : nullptr);
    session->pool = pool.get();
    session->settings.tmo = 1;
    session->settings.lookahead = 1;
    session->settings.radius = 2;
    EXPECT_TRUE(HandleNextFrame(session.get(), 0));
    session->autoplay = 1;
    ReadAheadFrames(session.get());
    session->autoplay = 0;
    EXPECT_EQ(session->ahead.task != nullptr, threads > 1);
    change(session.get());
    EXPECT_TRUE(HandleNextFrame(session.get(), 1));
    EXPECT_EQ(session->ahead.used, 0);
    EXPECT_EQ(session->ahead.discarded, threads > 1 ? 1 : 0);
    Shown shown = {session->currentframe, session->adapted[0], std::vector<float>(Out(), Out() + 3 * W * H)};
    session.reset();
    pool.reset();
    return shown;
  };
  for (const auto &c : changes) {
    SCOPED_TRACE(c.what);
    if (c.what == changes[1].what && !ProcessorHasAVX2()) continue;  // no AVX2 kernels to choose
    const Shown fresh = show(1, c.change), prepared = show(3, c.change);
    EXPECT_EQ(prepared.frame, 1);
    EXPECT_TRUE(prepared == fresh);
  }
}

}  // namespace
