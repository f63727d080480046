// One export's shared state and its stages, inside the exporter: the plan
// (the frames the file holds, the normaliser of every frame), the
// conversion of one frame, and the pipeline that writes them in order.
#ifndef HALVORN_EXPORT_RUN_H
#define HALVORN_EXPORT_RUN_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "exporter.h"

class WorkerPool;

// One thread's room for converting a record: its pixels, its luminance map
// (with the margin of a block row and column the tone mapper may touch),
// the decoded picture and the picture shown.
struct Scratch {
  unsigned char *rgbe = nullptr;
  double *lum = nullptr;
  float *flt = nullptr;
  float *out = nullptr;
  Scratch() = default;
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  ~Scratch();
};

// Why a frame was not written.
enum Failure { NO_FAILURE, READ_FAILED, FILE_ENDED, WRITE_FAILED, NO_MEMORY };

// A frame on its way: converted and encoded by a task, written by the main
// thread in order.
struct Slot {
  int64_t frame = -1;
  std::vector<unsigned char> data;  // the PPM picture (header and samples), or the PNG's samples
  size_t header = 0;                // bytes of the PPM header in front of the samples
  PendingFile file;                 // the PNG under its temporary name
  Failure failure = NO_FAILURE;
  std::string reason;
  FrameLight light;  // HDR output: the frame's light, both eyes
};

// Everything the tasks share, fixed before the first is started.
struct Run {
  const ExportJob *job = nullptr;
  const MovieFile *movie = nullptr;
  int width = 0, height = 0;
  size_t npixels = 0;
  std::vector<int> eyes;  // the records shown, left first
  int outwidth = 0;
  size_t stride = 0;  // bytes of a row of samples
  Quantiser quantiser;
  double hdrscale = 0.0;  // HDR output: cd/m2 of an output value of 1
  // The normaliser and peak of every shown eye of every frame of the range,
  // at [(k - first) x eyes + i].
  std::vector<double> normaliser, peak;
  WorkerPool *pool = nullptr;  // for the stages of a frame, when frames are few
  std::atomic<bool> cancel{false};
  std::mutex lock;
  std::vector<std::unique_ptr<Scratch>> spare;  // under lock
};

// How far the export gets: the last frame it can write, and the failure
// that stops it short of the range's end.
struct Reach {
  int64_t end = -1;
  bool failed = false;
  std::string failure;
};

// The frames the file holds whole limit the range: a frame past them cannot
// be exported, and ends the export with a failure once the frames before it
// are written.
Reach ReachOfRange(const ExportJob &job);

// The normaliser and peak of every shown eye of every frame up to
// reach->end, as the player reaches the frames by playing from frame 0.
// A record whose statistics cannot be read moves reach->end before it.
// Returns EXPORT_DONE, or the end of the export with its lines reported.
ExportResult PlanNormalisers(const ExportJob &job, Run *run, Reach *reach);

// Reads, converts and quantises the shown records of the slot's frame, and
// for PNG output encodes the picture into its temporary file.
void ConvertFrame(Run *run, Slot *slot);

// The stop flag a signal handler sets, when there is one.
bool Stopped(const ExportJob &job);
// The frames written, for the closing line: "frames 6 to 8 were written".
std::string FrameRange(int64_t first, int64_t last);

#endif
