// The frame cache: its size option, which frame gives up its room, the plan
// of frames ahead against playing one frame at a time, and runs with a
// cache that show exactly what one thread without a cache shows.
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "pool.h"

namespace {

TEST(CacheSize, ParsesBytesAndBinarySuffixes) {
  const struct {
    const char *text;
    int ok;
    size_t bytes;
  } cases[] = {{"0", 1, 0}, {"4096", 1, 4096}, {"3K", 1, 3072}, {"2m", 1, 2u << 20}, {"1G", 1, 1u << 30},
               {"", 0, 0},  {"-1", 0, 0},      {"1.5G", 0, 0},  {"1GB", 0, 0},      {"G", 0, 0},
               {"99999999999999999999", 0, 0}, {"17179869184G", 0, 0}};
  for (const auto &c : cases) {
    size_t bytes = 7;
    EXPECT_EQ(ParseCacheSize(c.text, &bytes), c.ok) << c.text;
    EXPECT_EQ(bytes, c.ok ? c.bytes : 7) << c.text;
  }
}

FrameKey Key(int number) {
  FrameKey key;
  key.number = number;
  return key;
}

std::unique_ptr<Frame> Made(int number, long touched, int shown = 1) {
  std::unique_ptr<Frame> frame(new Frame);
  frame->number = number;
  frame->touched = touched;
  frame->shown = shown;
  return frame;
}

TEST(CacheEviction, OffThePlanOldestFirstThenTheFarthestAheadNeverANearerOne) {
  FrameCache cache;
  cache.capacity = 3;
  cache.allocated = 4;  // full: no new frame
  const auto none = []() { return std::unique_ptr<Frame>(); };
  // Frames 5 and 1 are off the plan (5 shown longer ago); 2, 3 are ahead.
  cache.made.push_back(Made(2, 9, 0));
  cache.made.push_back(Made(5, 1));
  cache.made.push_back(Made(3, 8, 0));
  cache.made.push_back(Made(1, 4));
  const std::vector<FrameKey> plan = {Key(2), Key(3), Key(4)};
  std::vector<int> evicted;
  for (int i = 0; i < 4; i++) {
    std::unique_ptr<Frame> room = FreeFrameFor(&cache, plan, 2, none);  // room for frame 4
    evicted.push_back(room ? room->touched : -1);
  }
  // 5 and 1 go; 2 and 3 come before frame 4 and stay.
  EXPECT_EQ(evicted, (std::vector<int>{1, 4, -1, -1}));
  // For the frame wanted now every frame may go, the farthest ahead first.
  EXPECT_EQ(FreeFrameFor(&cache, plan, -1, none)->number, -1);
  ASSERT_EQ(cache.made.size(), 1u);
  EXPECT_EQ(cache.made[0]->number, 2);
  EXPECT_EQ(cache.dropped, 1);  // frame 3 had not been shown
}

constexpr int W = 9, H = 7, FRAMES = 5;

std::vector<Record> Movie() {
  std::vector<Record> records = MarkedMovie(FRAMES, 1, W, H);
  for (int f = 0; f < FRAMES; f++) records[f].logAv = 0.5 + 0.75 * f;
  return records;
}

class CacheTest : public CoreTest {
 protected:
  void TearDown() override {
    CoreTest::TearDown();
    pool.reset();
  }
  void Open(unsigned threads, size_t frames) {
    session = OpenMovie(WriteMovie("cache", W, H, 1, FRAMES, Movie()), W, H, 1, FRAMES);
    pool.reset(threads > 1 ? new WorkerPool(threads) : nullptr);
    session->pool = pool.get();
    ConfigureFrameCache(session.get(), frames * FrameBytes(session->movie, 1, 0));
  }
  std::unique_ptr<WorkerPool> pool;
};

TEST_F(CacheTest, ThePlanAheadIsWhatPlayingOneFrameAtATimeShows) {
  for (int looptype : {1, 0, 2})
    for (int playdir : {1, -1})
      for (int start : {0, 2, FRAMES - 1})
        for (int tmo : {0, 1}) {
          SCOPED_TRACE(::testing::Message() << "loop " << looptype << " dir " << playdir << " from " << start
                                            << " tmo " << tmo);
          Open(1, 0);
          session->settings.tmo = tmo;
          ASSERT_TRUE(HandleNextFrame(session.get(), 0));
          ASSERT_TRUE(SeekToFrame(session.get(), start));
          session->looptype = looptype;
          session->playdir = playdir;
          session->autoplay = 1;
          const std::vector<FrameKey> plan = PlanAhead(*session, 3 * FRAMES);
          size_t steps = 0;
          for (; session->autoplay && steps < 3 * FRAMES; steps++) {
            const double adapted = session->adapted[0];
            ASSERT_TRUE(HandleNextFrame(session.get(), session->currentframe + session->playdir));
            ASSERT_LT(steps, plan.size());
            EXPECT_EQ(plan[steps].number, session->currentframe);
            EXPECT_EQ(plan[steps].position, session->position - session->movie.frame_size);
            EXPECT_EQ(memcmp(&plan[steps].adapted[0], &adapted, sizeof adapted), 0);
          }
          EXPECT_EQ(plan.size(), steps);
        }
}

// A run of steps with changes of settings between some of them, and what
// each step shows.
using Change = std::function<void(Session *)>;
struct Step {
  int frame;  // NEXT: as playback asks
  Change change;
};
constexpr int NEXT = -2, BACK = -3, SEEK = -4;  // SEEK: to frame 3

TEST_F(CacheTest, WithAnyCacheEveryFrameShownIsWhatOneThreadWithoutACacheShows) {
  std::vector<Step> steps = {{0, nullptr}};
  for (int i = 0; i < 4 * FRAMES; i++) steps.push_back({NEXT, nullptr});  // loops, the adaptation settling
  const std::vector<Change> changes = {
      [](Session *s) { s->settings.exposure += 1.0f; }, [](Session *s) { s->settings.exposure -= 1.0f; },
      [](Session *s) { s->settings.biasParam += 0.02f; }, [](Session *s) { s->settings.lookahead = 1; },
      [](Session *s) { s->settings.radius = 1; },        [](Session *s) { s->settings.tmo = 0; },
      [](Session *s) { s->playdir = -s->playdir; },      [](Session *s) { s->looptype = 2; },
      [](Session *s) { s->settings.tmo = 1; },           [](Session *s) { s->settings.lookahead = 0; }};
  for (const Change &change : changes) {
    steps.push_back({NEXT, change});
    for (int i = 0; i < FRAMES + 1; i++) steps.push_back({NEXT, nullptr});
  }
  steps.push_back({BACK, nullptr});  // from the cache
  steps.push_back({SEEK, nullptr});
  auto run = [&](unsigned threads, size_t frames) {
    Open(threads, frames);
    session->settings.tmo = 1;
    session->autoplay = 1;
    std::vector<float> seen;
    for (const Step &step : steps) {
      if (step.change) step.change(session.get());
      if (step.frame == SEEK) {
        EXPECT_TRUE(SeekToFrame(session.get(), 3));
      } else {
        const int frame = step.frame == NEXT   ? session->currentframe + session->playdir
                          : step.frame == BACK ? session->currentframe - 1
                                               : step.frame;
        EXPECT_TRUE(HandleNextFrame(session.get(), frame));
      }
      seen.push_back((float)session->currentframe);
      seen.push_back((float)session->adapted[0]);
      seen.insert(seen.end(), Out(), Out() + 3 * W * H);
    }
    return seen;
  };
  const std::vector<float> fresh = run(1, 0);
  for (size_t frames : {1, 2, FRAMES}) {
    SCOPED_TRACE(frames);
    EXPECT_TRUE(run(3, frames) == fresh);
    if (frames == FRAMES) {
      EXPECT_GT(session->cache.hits, 2 * FRAMES);  // loops once the causal adaptation repeats itself
      EXPECT_GT(session->ahead.used, 2 * FRAMES);
    }
    EXPECT_LE(session->cache.allocated, frames + 1);
  }
}

TEST_F(CacheTest, StepsAndSeeksShowCachedFramesWithoutReadingThem) {
  Open(2, FRAMES);
  session->autoplay = 1;
  ASSERT_TRUE(HandleNextFrame(session.get(), 0));
  for (int i = 0; i < FRAMES; i++) ASSERT_TRUE(HandleNextFrame(session.get(), session->currentframe + 1));
  session->autoplay = 0;
  StopReadAhead(session.get());
  const double readtime = session->readtime;
  const long hits = session->cache.hits;
  ASSERT_TRUE(HandleNextFrame(session.get(), session->currentframe - 1));  // back to the last frame
  EXPECT_EQ(ShownFrame(), FRAMES - 1);
  ASSERT_TRUE(SeekToFrame(session.get(), 2));
  EXPECT_EQ(ShownFrame(), 2);
  ASSERT_TRUE(HandleNextFrame(session.get(), 0));  // Home
  EXPECT_EQ(ShownFrame(), 0);
  EXPECT_EQ(session->cache.hits, hits + 3);
  EXPECT_EQ(session->readtime, readtime);  // nothing read or converted
}

}  // namespace
