// The worker pool that every program shares: a fixed set of threads that
// run queued tasks, and a parallel loop in which the calling thread works
// too. With one thread there are no workers and everything runs on the
// caller, in order: the single-threaded path.
#ifndef HALVORN_POOL_H
#define HALVORN_POOL_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
 public:
  // `threads` counts the caller: 1 starts no worker, 0 means one thread per
  // processor core.
  explicit WorkerPool(unsigned threads);
  // Runs what is queued, then stops and joins the workers.
  ~WorkerPool();
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // The threads that take part in a parallel loop, the caller included.
  unsigned Threads() const { return (unsigned)workers.size() + 1; }

  // Runs task(i) for every i below count, spread over the workers and the
  // calling thread, and returns when all have run. The caller takes indices
  // itself, so a loop started from inside a task never waits on a worker
  // that is busy with it. The task must not throw.
  void ParallelFor(size_t count, const std::function<void(size_t)> &task);

  // Queues a task for a worker; without workers it runs here and now. The
  // future is ready once it has run, and carries what it threw.
  std::future<void> Submit(std::function<void()> task);

  // Waits for a submitted task, running queued tasks meanwhile (those of a
  // parallel loop inside it, for one), so that the waiting thread's core
  // works too.
  void WaitHelping(std::future<void> &done);

 private:
  void Work();

  std::vector<std::thread> workers;
  std::deque<std::packaged_task<void()>> queue;
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
};

// Runs fn(begin, end) over [0, count) in chunks of `grain` items (the last
// may be shorter), on the pool when there is one, else here in order.
void ParallelChunks(WorkerPool *pool, size_t count, size_t grain, const std::function<void(size_t, size_t)> &fn);

// The processor's core count (at least 1).
unsigned ProcessorCount();

// Reads a thread count given with -j: a whole number from 1 to 1024.
// Returns 0 for anything else.
unsigned ParseThreadCount(const char *text);

#endif
