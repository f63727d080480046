// Tasks in flight on the worker pool, owned by one group: they are waited
// for in the order they were started, and all of them when the group goes
// out of scope, so that nothing a task uses is freed while it runs.
#ifndef HALVORN_TASK_GROUP_H
#define HALVORN_TASK_GROUP_H

#include <cstddef>
#include <deque>
#include <functional>
#include <future>

class WorkerPool;

class TaskGroup {
 public:
  // Tasks go to `pool`'s workers; without a pool they run in Start.
  explicit TaskGroup(WorkerPool *pool) : pool(pool) {}
  // Waits for every task still in flight; what they threw is dropped.
  ~TaskGroup() { WaitAll(); }
  TaskGroup(const TaskGroup &) = delete;
  TaskGroup &operator=(const TaskGroup &) = delete;

  // Starts a task; it must not outlive what it reads, which the group sees
  // to by waiting for it.
  void Start(std::function<void()> task);
  // Waits for the oldest task in flight, the waiting thread running queued
  // tasks meanwhile, and rethrows what it threw. Nothing happens when no
  // task is in flight.
  void WaitOldest();
  // Waits for every task in flight, dropping what they threw.
  void WaitAll();
  size_t InFlight() const { return flight.size(); }

 private:
  WorkerPool *pool;
  std::deque<std::future<void>> flight;
};

#endif
