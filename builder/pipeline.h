// Pictures in flight, inside the builder: workers of the shared pool
// convert them while the thread that reads the list or the stream writes
// each picture's messages and record in order (converting pictures too
// while it waits), so that the movie and the messages are the same for any
// number of workers. The file list (pack_list.cpp) and the picture stream
// (pack_stream.cpp) feed it.
#ifndef HALVORN_PIPELINE_H
#define HALVORN_PIPELINE_H

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "builder.h"
#include "pool.h"
#include "task_group.h"

struct Pipeline {
  explicit Pipeline(unsigned threads);

  std::atomic<bool> stopping{false};
  WorkerPool pool;
  std::vector<std::unique_ptr<PictureJob>> slots;
  std::vector<PictureJob *> idle;      // slots free for the next picture
  std::deque<PictureJob *> in_flight;  // started, in order, as the group's tasks are
  // Last, so that it goes first: its tasks are waited for while the slots
  // and the pool they use are still there.
  TaskGroup group;
};

// Lets the workers finish what they hold, skipping everything queued, so
// that nothing runs once the pipeline goes.
void StopWorkers(Pipeline *pipeline);

// Writes everything still in flight, in order, up to the first picture
// that stops the run.
PackStatus WriteAll(Pipeline *pipeline, MovieWriter *movie);

// A slot for the next picture, writing the oldest one first when every
// slot is in flight. Null when that picture stops the run (*status says
// how).
PictureJob *TakeSlot(Pipeline *pipeline, MovieWriter *movie, PackStatus *status);

// Hands a filled slot to the workers.
void StartSlot(Pipeline *pipeline, PictureJob *slot);

#endif
