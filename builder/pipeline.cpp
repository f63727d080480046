// The pipeline of pictures in flight: slots taken and started in order, and
// each picture's messages and record written in that order.
#include "pipeline.h"

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

void StopWorkers(Pipeline *pipeline) {
  pipeline->stopping = true;
  pipeline->group.WaitAll();
}

namespace {

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

}  // namespace

PackStatus WriteAll(Pipeline *pipeline, MovieWriter *movie) {
  while (!pipeline->in_flight.empty()) {
    const PackStatus status = WriteOldest(pipeline, movie);
    if (status != PACK_DONE) return status;
  }
  return PACK_DONE;
}

PictureJob *TakeSlot(Pipeline *pipeline, MovieWriter *movie, PackStatus *status) {
  if (pipeline->idle.empty()) {
    *status = WriteOldest(pipeline, movie);
    if (*status != PACK_DONE) return nullptr;
  }
  PictureJob *slot = pipeline->idle.back();
  pipeline->idle.pop_back();
  return slot;
}

void StartSlot(Pipeline *pipeline, PictureJob *slot) {
  std::atomic<bool> *stopping = &pipeline->stopping;
  pipeline->group.Start([slot, stopping] {
    if (!*stopping) ProcessImage(slot);
  });
  pipeline->in_flight.push_back(slot);
}
