// The shared worker pool: every index runs once, at every thread count,
// nested loops finish, queued tasks run before the pool stops, and -j
// values are read strictly.
#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "pool.h"
#include "task_group.h"

namespace {

TEST(WorkerPool, EveryIndexRunsExactlyOnceAtEveryThreadCount) {
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    WorkerPool pool(threads);
    EXPECT_EQ(pool.Threads(), threads);
    for (size_t count : {0u, 1u, 2u, 7u, 1000u}) {
      std::vector<std::atomic<int>> hits(count);
      pool.ParallelFor(count, [&](size_t i) { hits[i]++; });
      for (size_t i = 0; i < count; i++) ASSERT_EQ(hits[i].load(), 1) << i;
    }
  }
}

TEST(WorkerPool, OneThreadRunsInOrderOnTheCaller) {
  WorkerPool pool(1);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<size_t> order;
  pool.ParallelFor(5, [&](size_t i) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    order.push_back(i);
  });
  EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2, 3, 4}));
  bool ran = false;
  std::future<void> done = pool.Submit([&] { ran = std::this_thread::get_id() == caller; });
  EXPECT_TRUE(ran);  // already run when Submit returns
  done.get();
}

TEST(WorkerPool, LoopsInsideTasksFinishWhileEveryWorkerIsBusy) {
  WorkerPool pool(2);
  std::atomic<int> total{0};
  std::vector<std::future<void>> tasks;
  for (int t = 0; t < 4; t++)
    tasks.push_back(pool.Submit([&] { pool.ParallelFor(100, [&](size_t) { total++; }); }));
  pool.ParallelFor(10, [&](size_t) { pool.ParallelFor(10, [&](size_t) { total++; }); });
  for (auto &t : tasks) t.get();
  EXPECT_EQ(total.load(), 500);
}

TEST(WorkerPool, QueuedTasksRunBeforeThePoolStopsAndCarryTheirExceptions) {
  std::atomic<int> ran{0};
  std::future<void> failing;
  {
    WorkerPool pool(3);
    for (int t = 0; t < 50; t++) pool.Submit([&] { ran++; });
    failing = pool.Submit([] { throw 7; });
  }
  EXPECT_EQ(ran.load(), 50);
  EXPECT_THROW(failing.get(), int);
}

TEST(WorkerPool, ThreadCountsFromTheCommandLine) {
  EXPECT_EQ(ParseThreadCount("1"), 1u);
  EXPECT_EQ(ParseThreadCount("16"), 16u);
  EXPECT_EQ(ParseThreadCount("1024"), 1024u);
  for (const char *bad : {"0", "-1", "1025", "", "2x", " 2", "+2", "nan", "99999999999999999999"})
    EXPECT_EQ(ParseThreadCount(bad), 0u) << bad;
  EXPECT_EQ(ParseThreadCount(nullptr), 0u);
  EXPECT_GE(ProcessorCount(), 1u);
  EXPECT_EQ(WorkerPool(0).Threads(), ProcessorCount());
}

// Tasks are waited for oldest first, a failure reaches the one who waits
// for it, and the group's end waits for what is still in flight, with
// workers and without.
TEST(TaskGroup, WaitsInOrderRethrowsAndWaitsAtItsEnd) {
  for (unsigned threads : {1u, 3u}) {
    WorkerPool pool(threads);
    std::atomic<int> finished{0};
    std::vector<int> order;
    {
      TaskGroup group(threads > 1 ? &pool : nullptr);
      group.Start([&] { finished++; });
      group.Start([] { throw 7; });
      for (int t = 0; t < 20; t++) group.Start([&] { finished++; });
      EXPECT_EQ(group.InFlight(), 22u);
      group.WaitOldest();
      EXPECT_THROW(group.WaitOldest(), int);
      EXPECT_EQ(group.InFlight(), 20u);
    }
    EXPECT_EQ(finished.load(), 21) << threads;
  }
}

}  // namespace
