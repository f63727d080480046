// The export of a range of frames: the normaliser of every frame worked out
// first from the records' statistics alone (export_plan.cpp), then the
// frames read, converted and encoded on every thread, several at a time
// (export_frame.cpp), and written here in order.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "export_run.h"
#include "pool.h"
#include "task_group.h"

namespace {

// The memory that frames on their way may take together, when the threads
// would take more: a frame of 1920 x 1080 takes some 70 MB.
constexpr uint64_t FRAMES_MEMORY = (uint64_t)2 << 30;

// The frames on their way, in a ring of slots: frame k in slot k % size.
struct Pipeline {
  std::vector<Slot> slots;
  std::string header;  // in front of every PPM picture; empty for PNG files
  size_t picturebytes = 0;
  int64_t next = 0;     // the next frame to start
  int64_t written = 0;  // the next frame to write
  Slot &SlotOf(int64_t k) { return slots[(size_t)(k % (int64_t)slots.size())]; }
};

// The records shown, the picture's geometry and the quantiser. Returns
// false, the failure reported, for a gamma and depth with no quantiser.
bool PrepareRun(const ExportJob &job, Run *run) {
  const MovieHeader &h = job.movie->header;
  run->job = &job;
  run->movie = job.movie;
  run->width = h.width;
  run->height = h.height;
  run->npixels = job.movie->npixels;
  if (h.eyes == 2 && job.eye != EXPORT_RIGHT) run->eyes.push_back(0);
  if (h.eyes == 2 && job.eye != EXPORT_LEFT) run->eyes.push_back(1);
  if (h.eyes != 2) run->eyes.push_back(0);
  run->outwidth = ExportWidth(h, job.eye);
  run->stride = 3 * (size_t)run->outwidth * (job.depth == 16 ? 2 : 1);
  if (job.pq && job.depth == 16) {
    // The tone mapper's display luminance carries the factor
    // Ldmax / 100 cd/m2, which is 1 for the SDR display it assumes; for a
    // display of Ldmax = peak it is peak / 100, in units of 100 cd/m2:
    // peak cd/m2 for a value of 1. A plain exposure's value is in units of
    // `nits`.
    run->hdrscale = job.tmo ? job.peak : job.nits;
    BuildPqQuantiser(&run->quantiser);
    return true;
  }
  if (job.pq) {
    job.report("PQ pictures are written at 16 bits, not " + std::to_string(job.depth));
    return false;
  }
  if (BuildQuantiser(&run->quantiser, job.gamma, job.depth) == 0) return true;
  job.report("Cannot write gamma " + std::to_string(job.gamma) + " at " + std::to_string(job.depth) + " bits");
  return false;
}

// Up to one more frame than the threads is on its way at a time, so that
// every thread has a frame while the main thread writes one, as far as
// their memory (the samples and a thread's room) stays within FRAMES_MEMORY.
void SizePipeline(const ExportJob &job, const Run &run, Pipeline *line) {
  line->header = job.stream && !job.measure_only ? PpmHeader(run.outwidth, run.height, job.depth) : "";
  line->picturebytes = job.measure_only ? 0 : run.stride * (size_t)run.height;
  const uint64_t framememory = line->picturebytes + 40 * (uint64_t)run.npixels;
  const uint64_t affordable = FRAMES_MEMORY / framememory;
  line->slots.resize((size_t)std::max<uint64_t>(2, std::min<uint64_t>(job.threads + 1, affordable)));
  line->next = line->written = job.first;
}

// Starts the conversion of frame k in its slot. Returns false when there is
// no memory for the slot's picture.
bool StartFrame(Run *run, Pipeline *line, TaskGroup *group, int64_t k) {
  Slot &slot = line->SlotOf(k);
  slot.frame = k;
  slot.failure = NO_FAILURE;
  slot.reason.clear();
  slot.light = FrameLight();
  slot.file = PendingFile();
  const size_t size = line->header.size() + line->picturebytes;
  if (slot.data.size() != size) {
    try {
      slot.data.assign(size, 0);
    } catch (const std::bad_alloc &) {
      return false;
    }
    memcpy(slot.data.data(), line->header.data(), line->header.size());
    slot.header = line->header.size();
  }
  Slot *target = &slot;
  group->Start([run, target] {
    if (run->cancel) return;
    try {
      ConvertFrame(run, target);
    } catch (const std::bad_alloc &) {
      target->failure = NO_MEMORY;
    }
  });
  return true;
}

// Sends a converted frame out: onto the stream, or its PNG file renamed
// into place. A failure is left in the slot.
void WriteFrame(const ExportJob &job, Slot *slot) {
  if (slot->failure != NO_FAILURE || job.measure_only) return;
  const int failed = job.stream ? WriteWhole(job.streamfd, slot->data.data(), slot->data.size())
                                : CommitPendingFile(&slot->file);
  if (failed != 0) {
    slot->failure = WRITE_FAILED;
    slot->reason = strerror(errno);
  }
}

std::string FailureMessage(const ExportJob &job, const Slot &slot) {
  const std::string frame = std::to_string(slot.frame);
  switch (slot.failure) {
    case READ_FAILED:
      return "Failed to read frame " + frame + ": " + slot.reason;
    case FILE_ENDED:
      return "Failed to read frame " + frame + ": the movie file ended";
    case NO_MEMORY:
      return "Not enough memory to convert frame " + frame;
    default: {
      const std::string what = job.stream ? "the PPM stream to the standard output"
                                          : "\"" + FormatOutputName(job.pattern, slot.frame) + "\"";
      return "Failed to write " + what + " (frame " + frame + "): " + slot.reason;
    }
  }
}

// Starts frames until the ring is full. Returns false when not even the
// frame due to be written could be started.
bool FillPipeline(Run *run, Pipeline *line, TaskGroup *group, int64_t end) {
  while (line->next <= end && line->next - line->written < (int64_t)line->slots.size()) {
    if (!StartFrame(run, line, group, line->next)) return line->next != line->written;
    line->next++;
  }
  return true;
}

// Converts and writes frames written ... end in order. Returns EXPORT_DONE,
// or why it stopped with the message in *failure.
ExportResult WriteFrames(const ExportJob &job, Run *run, Pipeline *line, TaskGroup *group, int64_t end,
                         std::string *failure) {
  const int64_t frames = end - job.first + 1;
  while (line->written <= end) {
    if (!FillPipeline(run, line, group, end)) {
      *failure = "Not enough memory for the pictures of " + std::to_string(run->outwidth) + " x " +
                 std::to_string(run->height) + " pixels";
      return EXPORT_FAILED;
    }
    group->WaitOldest();
    if (Stopped(job)) {
      *failure = "Interrupted";
      return EXPORT_INTERRUPTED;
    }
    Slot &slot = line->SlotOf(line->written);
    WriteFrame(job, &slot);
    if (slot.failure != NO_FAILURE) {
      *failure = FailureMessage(job, slot);
      return EXPORT_FAILED;
    }
    if (job.levels != nullptr) {
      const double pixels = (double)run->outwidth * (double)run->height;
      job.levels->maxcll = std::max(job.levels->maxcll, slot.light.brightest);
      job.levels->maxfall = std::max(job.levels->maxfall, slot.light.sum / pixels);
    }
    line->written++;
    if (job.progress) job.progress(line->written - job.first, frames);
  }
  return EXPORT_DONE;
}

}  // namespace

bool Stopped(const ExportJob &job) { return job.stop != nullptr && *job.stop != 0; }

std::string FrameRange(int64_t first, int64_t last) {
  if (last < first) return "no frame was written";
  if (last == first) return "frame " + std::to_string(first) + " was written";
  return "frames " + std::to_string(first) + " to " + std::to_string(last) + " were written";
}

int ExportWidth(const MovieHeader &header, ExportEye eye) {
  return header.eyes == 2 && eye == EXPORT_BOTH ? 2 * header.width : header.width;
}

ExportResult ExportFrames(const ExportJob &job) {
  Run run;
  if (!PrepareRun(job, &run)) return EXPORT_FAILED;
  Reach reach = ReachOfRange(job);
  AdviseReadAhead(*job.movie, FramePosition(*job.movie, job.first), job.movie->frame_size);
  const ExportResult planned = PlanNormalisers(job, &run, &reach);
  if (planned != EXPORT_DONE) return planned;

  // A range of fewer frames than threads shares each frame's stages among
  // the threads instead of converting frames side by side.
  WorkerPool pool(job.threads);
  const int64_t frames = reach.end >= job.first ? reach.end - job.first + 1 : 0;
  run.pool = frames < (int64_t)job.threads ? &pool : nullptr;
  Pipeline line;
  SizePipeline(job, run, &line);
  ExportResult result = EXPORT_DONE;
  {
    TaskGroup group(&pool);
    result = WriteFrames(job, &run, &line, &group, reach.end, &reach.failure);
    // After a failure: the frames on their way are finished (their memory
    // is in use) and thrown away, their temporary files removed.
    run.cancel = true;
    group.WaitAll();
  }
  for (int64_t k = line.written; k < line.next; k++) DiscardPendingFile(&line.SlotOf(k).file);
  if (result == EXPORT_DONE && reach.failed) result = EXPORT_FAILED;
  if (result != EXPORT_DONE) {
    job.report(reach.failure);
    job.report("Stopped: " + FrameRange(job.first, line.written - 1));
  }
  return result;
}
