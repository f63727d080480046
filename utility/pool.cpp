// The shared worker pool: threads started once, a queue of tasks, and a
// parallel loop over indices.
#include "pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <memory>

unsigned ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

unsigned ParseThreadCount(const char *text) {
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char *end;
  errno = 0;
  const unsigned long n = strtoul(text, &end, 10);
  if (errno != 0 || *end != 0 || n < 1 || n > 1024) return 0;
  return (unsigned)n;
}

WorkerPool::WorkerPool(unsigned threads) {
  if (threads == 0) threads = ProcessorCount();
  for (unsigned i = 1; i < threads; i++) workers.emplace_back(&WorkerPool::Work, this);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> hold(lock);
    stopping = true;
  }
  wake.notify_all();
  for (std::thread &t : workers) t.join();
}

void WorkerPool::Work() {
  for (;;) {
    std::packaged_task<void()> task;
    {
      std::unique_lock<std::mutex> hold(lock);
      wake.wait(hold, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;  // stopping, and nothing left to run
      task = std::move(queue.front());
      queue.pop_front();
    }
    task();
  }
}

std::future<void> WorkerPool::Submit(std::function<void()> task) {
  std::packaged_task<void()> job(std::move(task));
  std::future<void> done = job.get_future();
  if (workers.empty()) {
    job();
    return done;
  }
  {
    std::lock_guard<std::mutex> hold(lock);
    queue.push_back(std::move(job));
  }
  wake.notify_one();
  return done;
}

void WorkerPool::WaitHelping(std::future<void> &done) {
  while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    std::packaged_task<void()> task;
    {
      std::lock_guard<std::mutex> hold(lock);
      if (!queue.empty()) {
        task = std::move(queue.front());
        queue.pop_front();
      }
    }
    if (task.valid())
      task();
    else
      done.wait_for(std::chrono::microseconds(200));
  }
}

void ParallelChunks(WorkerPool *pool, size_t count, size_t grain, const std::function<void(size_t, size_t)> &fn) {
  if (grain == 0) grain = 1;
  const size_t chunks = (count + grain - 1) / grain;
  auto chunk = [&](size_t c) { fn(c * grain, std::min(count, (c + 1) * grain)); };
  if (pool == nullptr) {
    for (size_t c = 0; c < chunks; c++) chunk(c);
    return;
  }
  pool->ParallelFor(chunks, chunk);
}

void WorkerPool::ParallelFor(size_t count, const std::function<void(size_t)> &task) {
  if (count == 0) return;
  if (workers.empty() || count == 1) {
    for (size_t i = 0; i < count; i++) task(i);
    return;
  }
  // The loop's shared state outlives this call for helpers that start
  // late: they find no index left and return at once.
  struct Loop {
    std::atomic<size_t> next{0};
    size_t count;
    const std::function<void(size_t)> *task;
    std::mutex lock;
    std::condition_variable finished;
    size_t done = 0;  // indices run, under lock
  };
  auto loop = std::make_shared<Loop>();
  loop->count = count;
  loop->task = &task;
  auto run = [loop]() {
    size_t ran = 0;
    for (size_t i; (i = loop->next.fetch_add(1)) < loop->count; ran++) (*loop->task)(i);
    if (ran == 0) return;
    std::lock_guard<std::mutex> hold(loop->lock);
    loop->done += ran;
    if (loop->done == loop->count) loop->finished.notify_all();
  };
  const size_t helpers = std::min(workers.size(), count - 1);
  {
    std::lock_guard<std::mutex> hold(lock);
    for (size_t h = 0; h < helpers; h++) queue.emplace_back(run);
  }
  if (helpers == 1)
    wake.notify_one();
  else
    wake.notify_all();
  run();
  std::unique_lock<std::mutex> hold(loop->lock);
  loop->finished.wait(hold, [&] { return loop->done == loop->count; });
}
