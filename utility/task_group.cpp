// The group's tasks on the shared pool, waited for in order.
#include "task_group.h"

#include "pool.h"

void TaskGroup::Start(std::function<void()> task) {
  if (pool != nullptr) {
    flight.push_back(pool->Submit(std::move(task)));
    return;
  }
  std::promise<void> done;
  try {
    task();
    done.set_value();
  } catch (...) {
    done.set_exception(std::current_exception());
  }
  flight.push_back(done.get_future());
}

void TaskGroup::WaitOldest() {
  if (flight.empty()) return;
  std::future<void> done = std::move(flight.front());
  flight.pop_front();
  if (pool != nullptr) pool->WaitHelping(done);
  done.get();
}

void TaskGroup::WaitAll() {
  while (!flight.empty()) {
    try {
      WaitOldest();
    } catch (...) {
      // The task's failure was its owner's to collect; the wait is what counts here.
    }
  }
}
