// The file list worked through with every core: workers of the shared pool
// convert pictures while this thread reads the list and writes each
// picture's messages and record in list order (converting pictures too
// while it waits), so that the movie and the messages are the same for any
// number of workers.
#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "builder.h"
#include "pool.h"
#include "task_group.h"
#include "utility.h"

namespace {

struct Pipeline {
  explicit Pipeline(unsigned threads);

  std::atomic<bool> stopping{false};
  WorkerPool pool;
  std::vector<std::unique_ptr<PictureJob>> slots;
  std::vector<PictureJob *> idle;      // slots free for the next picture
  std::deque<PictureJob *> in_flight;  // started, in list order, as the group's tasks are
  // Last, so that it goes first: its tasks are waited for while the slots
  // and the pool they use are still there.
  TaskGroup group;
};

// N threads convert: N - 1 workers, and this thread, which writes, while it
// waits for the oldest picture (the group has it run queued pictures
// meanwhile); with 1 it converts and writes each picture in turn. So N
// pictures at most are being read, as many workspaces as threads. A slot
// for each picture in flight: N + 1, or 1.
Pipeline::Pipeline(unsigned threads) : pool(threads), group(&pool) {
  const unsigned nslots = threads > 1 ? threads + 1 : 1;
  for (unsigned i = 0; i < nslots; i++) {
    slots.emplace_back(new PictureJob);
    idle.push_back(slots.back().get());
  }
}

// Lets the workers finish what they hold, skipping everything queued, so
// that nothing runs once the pipeline goes.
void StopWorkers(Pipeline *pipeline) {
  pipeline->stopping = true;
  pipeline->group.WaitAll();
}

// Waits for the oldest picture in flight and writes what it gave. Returns
// PACK_DONE when the run goes on.
PackStatus WriteOldest(Pipeline *pipeline, MovieWriter *movie) {
  PictureJob *slot = pipeline->in_flight.front();
  pipeline->in_flight.pop_front();
  pipeline->group.WaitOldest();
  const PictureJob &job = *slot;
  fprintf(stderr, "Processing %s", job.shown.c_str());
  fwrite(job.messages.data(), 1, job.messages.size(), stderr);
  switch (job.status) {
    case PICTURE_READ: {
      const uint64_t before = movie->bytes;
      const size_t npixels = (size_t)movie->header.width * (size_t)movie->header.height;
      if (WriteRecord(movie, job.maxLum, job.logAv, job.pixels.get(), npixels) != 0) return PACK_WRITE_FAILED;
      fprintf(stderr, ", %ld of %.1f MB ", (long)(movie->bytes - before), (double)movie->bytes / 1048576.0);
      break;
    }
    case PICTURE_FAILED:
      fprintf(stderr, " ----- Failed");
      break;
    case PICTURE_WRONG_SIZE:
    case PICTURE_NO_MEMORY:
      return PACK_STOPPED;
  }
  fprintf(stderr, "\n");
  pipeline->idle.push_back(slot);
  return PACK_DONE;
}

// Writes everything still in flight, in order, up to the first picture
// that stops the run.
PackStatus WriteAll(Pipeline *pipeline, MovieWriter *movie) {
  while (!pipeline->in_flight.empty()) {
    const PackStatus status = WriteOldest(pipeline, movie);
    if (status != PACK_DONE) return status;
  }
  return PACK_DONE;
}

// Hands a picture to the workers, writing the oldest one first when every
// slot is in flight.
PackStatus Submit(Pipeline *pipeline, MovieWriter *movie, const std::string &name, const std::string &other,
                  PictureView view) {
  if (pipeline->idle.empty()) {
    const PackStatus status = WriteOldest(pipeline, movie);
    if (status != PACK_DONE) return status;
  }
  PictureJob *slot = pipeline->idle.back();
  pipeline->idle.pop_back();
  slot->name = name;
  slot->other = other;
  slot->view = view;
  slot->size = {movie->header.width, movie->header.height};
  std::atomic<bool> *stopping = &pipeline->stopping;
  pipeline->group.Start([slot, stopping] {
    if (!*stopping) ProcessImage(slot);
  });
  pipeline->in_flight.push_back(slot);
  return PACK_DONE;
}

// Submits the pictures of the list's next `nframes` lines.
PackStatus SubmitList(Pipeline *pipeline, MovieWriter *movie, FILE *list) {
  const int eyes = movie->header.eyes;
  char line[LIST_LINE_LIMIT + 1];
  std::string names[2];
  bool one_name = false;  // the names came from a line with one word
  for (int frame = 0; frame < movie->header.nframes; frame++) {
    if (!ReadLine(list, line, LIST_LINE_LIMIT)) {
      const PackStatus status = WriteAll(pipeline, movie);
      if (status != PACK_DONE) return status;
      fprintf(stderr, "Unexpected end of file\n");
      return PACK_DONE;
    }
    // An empty line repeats the names before it, and how many there were.
    const int words = TakeNames(line, names, eyes);
    if (words > 0) one_name = words == 1;
    PackStatus status = PACK_DONE;
    if (eyes == 2 && one_name) {
      status = Submit(pipeline, movie, names[0], "", VIEW_LEFT);
      if (status == PACK_DONE) status = Submit(pipeline, movie, names[0], names[1], VIEW_RIGHT);
    } else {
      for (int eye = 0; eye < eyes && status == PACK_DONE; eye++)
        status = Submit(pipeline, movie, names[eye], "", VIEW_DEFAULT);
    }
    if (status != PACK_DONE) return status;
  }
  return WriteAll(pipeline, movie);
}

}  // namespace

PackStatus PackList(FILE *list, MovieWriter *movie, unsigned threads) {
  Pipeline pipeline(threads);
  const PackStatus status = SubmitList(&pipeline, movie, list);
  StopWorkers(&pipeline);
  return status;
}
