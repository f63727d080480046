// The export of a range of frames: the normaliser of every frame worked out
// first from the records' statistics alone, then the frames read, converted
// and encoded on every thread, several at a time, and written in order.
//
// The causal adaptation of frame k depends on the log-averages of frames 0
// to k and on nothing else, so it is computed up front from 16-byte reads,
// however far into the movie the range starts, and every frame of the range
// can then be converted on its own, in any order, giving the player's
// picture of it to the bit.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "exporter.h"
#include "lookahead.h"
#include "movie_file.h"
#include "render.h"
#include "pool.h"

namespace {

// Reads all of `size` bytes at `at`. Returns 0, -1 with errno set, or 1 when
// the file ends first.
int ReadWhole(int fd, void *data, size_t size, uint64_t at) {
  unsigned char *p = static_cast<unsigned char *>(data);
  while (size > 0) {
    const ssize_t n = pread(fd, p, size, (off_t)at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 1;
    p += n;
    size -= (size_t)n;
    at += (uint64_t)n;
  }
  return 0;
}

// A large buffer, in huge pages where the kernel gives them on request: the
// first touch of a picture-sized buffer in 4-KiB pages takes a page fault
// every 4 KiB, which costs more than converting a short movie.
constexpr size_t HUGE_PAGE = (size_t)2 << 20;

void *AllocateLarge(size_t bytes) {
  const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  void *p = aligned_alloc(HUGE_PAGE, rounded);
  if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

// One thread's room for converting a record: its pixels, its luminance map
// (with the margin of a block row and column the tone mapper may touch),
// the decoded picture and the picture shown.
struct Scratch {
  unsigned char *rgbe = nullptr;
  double *lum = nullptr;
  float *flt = nullptr;
  float *out = nullptr;
  ~Scratch() {
    free(rgbe);
    free(lum);
    free(flt);
    free(out);
  }
};

// The memory that frames on their way may take together, when the threads
// would take more: a frame of 1920 x 1080 takes some 70 MB.
constexpr uint64_t FRAMES_MEMORY = (uint64_t)2 << 30;

// Rows of a strip of the last stage: their floats stay in the cache until
// they are quantised.
constexpr int STRIP_ROWS = 8;

// Why a frame was not written.
enum Failure { NO_FAILURE, READ_FAILED, FILE_ENDED, WRITE_FAILED, NO_MEMORY };

// A frame on its way: converted and encoded by a task, written by the main
// thread in order.
struct Slot {
  int64_t frame = -1;
  std::future<void> done;
  std::vector<unsigned char> data;  // the PPM picture (header and samples), or the PNG's samples
  size_t header = 0;                // bytes of the PPM header in front of the samples
  PendingFile file;                 // the PNG under its temporary name
  Failure failure = NO_FAILURE;
  std::string reason;
};

// Everything the tasks share, fixed before the first is started.
struct Run {
  const ExportJob *job;
  int fd;
  int width, height;
  size_t npixels;
  uint64_t recordsize;
  std::vector<int> eyes;  // the records shown, left first
  int outwidth;
  size_t stride;  // bytes of a row of samples
  Quantiser quantiser;
  // The normaliser and peak of every shown eye of every frame of the range,
  // at [(k - first) x eyes + i].
  std::vector<double> normaliser, peak;
  WorkerPool *pool;       // for the stages of a frame, when frames are few
  std::atomic<bool> cancel{false};
  std::mutex lock;
  std::vector<std::unique_ptr<Scratch>> spare;  // under lock
};

std::unique_ptr<Scratch> TakeScratch(Run *run) {
  {
    std::lock_guard<std::mutex> hold(run->lock);
    if (!run->spare.empty()) {
      std::unique_ptr<Scratch> s = std::move(run->spare.back());
      run->spare.pop_back();
      return s;
    }
  }
  std::unique_ptr<Scratch> s(new (std::nothrow) Scratch);
  if (!s) return s;
  const size_t n = run->npixels;
  s->rgbe = (unsigned char *)AllocateLarge(4 * n);
  s->lum = (double *)AllocateLarge(sizeof(double) * ((size_t)run->width + 2) * ((size_t)run->height + 2));
  s->flt = (float *)AllocateLarge(sizeof(float) * 3 * n);
  s->out = (float *)AllocateLarge(sizeof(float) * 3 * n);
  if (!s->rgbe || !s->lum || !s->flt || !s->out) s.reset();
  return s;
}

void GiveScratch(Run *run, std::unique_ptr<Scratch> s) {
  std::lock_guard<std::mutex> hold(run->lock);
  run->spare.push_back(std::move(s));
}

// Reads, converts and quantises the shown records of the slot's frame, and
// for PNG output encodes the picture into its temporary file.
void ConvertFrame(Run *run, Slot *slot) {
  const ExportJob &job = *run->job;
  const int64_t k = slot->frame;
  std::unique_ptr<Scratch> s = TakeScratch(run);
  if (!s) {
    slot->failure = NO_MEMORY;
    return;
  }
  ConversionSettings cs{};
  cs.width = run->width;
  cs.height = run->height;
  cs.npixels = run->npixels;
  cs.tmo = job.tmo;
  cs.exposure = job.exposure;
  cs.biasParam = job.biasParam;
  cs.lookahead = 0;  // the normalisers are worked out already
  cs.avx = ProcessorHasAVX2();
  cs.frame = (int)k;
  cs.pool = run->pool;
  unsigned char *samples = slot->data.data() + slot->header;
  const size_t neyes = run->eyes.size();
  for (size_t i = 0; i < neyes; i++) {
    const uint64_t at = MovieFrameOffset(job.header, k) + (uint64_t)run->eyes[i] * run->recordsize +
                        RECORD_STATISTICS_SIZE;
    const int got = ReadWhole(run->fd, s->rgbe, 4 * run->npixels, at);
    if (got != 0) {
      slot->failure = got < 0 ? READ_FAILED : FILE_ENDED;
      if (got < 0) slot->reason = strerror(errno);
      GiveScratch(run, std::move(s));
      return;
    }
    DecodeFrame(cs, s->rgbe, s->lum, s->flt);
    if (job.tmo) {
      const size_t at_k = (size_t)(k - job.first) * neyes + i;
      TonemapWithNormaliser(cs, s->lum, run->peak[at_k], run->normaliser[at_k]);
    }
    // The last stage and the quantisation go strip by strip, so that the
    // floats are quantised while they are still in the cache. (Both stages
    // work pixel by pixel: strips give the same pixels.) A frame whose stages
    // are shared among the threads is done in one strip.
    const int rows = run->pool != nullptr ? run->height : STRIP_ROWS;
    for (int y = 0; y < run->height; y += rows) {
      const int n = run->height - y < rows ? run->height - y : rows;
      const size_t first = (size_t)y * (size_t)run->width;
      ConversionSettings strip = cs;
      strip.height = n;
      strip.npixels = (size_t)n * (size_t)run->width;
      if (job.tmo)
        ColourFrame(strip, s->lum + first, s->flt + 3 * first, s->out, nullptr);
      else
        ExposeFrame(strip, s->flt + 3 * first, s->out, nullptr);
      QuantisePicture(run->quantiser, s->out, run->width, n,
                      samples + (size_t)(run->height - y - n) * run->stride, run->stride, (int)i * run->width);
    }
  }
  GiveScratch(run, std::move(s));
  if (job.stream) return;

  const std::string name = FormatOutputName(job.pattern, k);
  if (CreatePendingFile(name, &slot->file) != 0) {
    slot->failure = WRITE_FAILED;
    slot->reason = strerror(errno);
    return;
  }
  std::string error;
  if (WritePng(slot->file.fd, run->outwidth, run->height, job.depth, samples, run->stride, &error) !=
      0) {
    slot->failure = WRITE_FAILED;
    slot->reason = error;
    return;
  }
  if (ClosePendingFile(&slot->file) != 0) {
    slot->failure = WRITE_FAILED;
    slot->reason = strerror(errno);
  }
}

// The record statistics of `eye` in frame k. Returns 0, -1 (errno set) or 1
// when the file ends inside them.
int ReadStatistics(const Run &run, int64_t k, int eye, double *maxLum, double *logAv) {
  unsigned char bytes[RECORD_STATISTICS_SIZE];
  const uint64_t at = MovieFrameOffset(run.job->header, k) + (uint64_t)eye * run.recordsize;
  const int got = ReadWhole(run.fd, bytes, sizeof bytes, at);
  if (got != 0) return got;
  memcpy(maxLum, bytes, 8);
  memcpy(logAv, bytes + 8, 8);
  if (run.job->byteswap) {
    SwapDouble(maxLum);
    SwapDouble(logAv);
  }
  return 0;
}

bool Stopped(const ExportJob &job) { return job.stop != nullptr && *job.stop != 0; }

std::string FrameRange(int64_t first, int64_t last) {
  if (last < first) return "no frame was written";
  if (last == first) return "frame " + std::to_string(first) + " was written";
  return "frames " + std::to_string(first) + " to " + std::to_string(last) + " were written";
}

}  // namespace

int ExportWidth(const MovieHeader &header, ExportEye eye) {
  return header.eyes == 2 && eye == EXPORT_BOTH ? 2 * header.width : header.width;
}

ExportResult ExportFrames(const ExportJob &job) {
  Run run;
  run.job = &job;
  run.fd = fileno(job.file);
  run.width = job.header.width;
  run.height = job.header.height;
  run.npixels = (size_t)run.width * (size_t)run.height;
  run.recordsize = PictureRecordSize(run.width, run.height);
  if (job.header.eyes == 2 && job.eye != EXPORT_RIGHT) run.eyes.push_back(0);
  if (job.header.eyes == 2 && job.eye != EXPORT_LEFT) run.eyes.push_back(1);
  if (job.header.eyes != 2) run.eyes.push_back(0);
  run.outwidth = ExportWidth(job.header, job.eye);
  run.stride = 3 * (size_t)run.outwidth * (job.depth == 16 ? 2 : 1);
  if (BuildQuantiser(&run.quantiser, job.gamma, job.depth) != 0) {
    job.report("Cannot write gamma " + std::to_string(job.gamma) + " at " + std::to_string(job.depth) + " bits");
    return EXPORT_FAILED;
  }
  const size_t neyes = run.eyes.size();

  // The frames the file holds whole, up to the header's count: a frame past
  // them cannot be exported, and ends the export with a failure once the
  // frames before it are written.
  struct stat st;
  if (fstat(run.fd, &st) != 0) {
    job.report(std::string("Failed to read the movie: ") + strerror(errno));
    return EXPORT_FAILED;
  }
  const uint64_t framesize = MovieFrameSize(job.header);
  const uint64_t size = (uint64_t)st.st_size;
  const uint64_t whole = size > MOVIE_HEADER_SIZE ? (size - MOVIE_HEADER_SIZE) / framesize : 0;
  const int64_t complete = whole < (uint64_t)job.header.nframes ? (int64_t)whole : job.header.nframes;
  int64_t end = job.last < complete - 1 ? job.last : complete - 1;  // the last frame to export
  bool failed = end < job.last;
  std::string failure;
  if (failed) {
    const int64_t missing = complete > job.first ? complete : job.first;
    failure = "Frame " + std::to_string(missing) + " is not in the movie: the file holds " +
              std::to_string(complete) + " complete frame" + (complete == 1 ? "" : "s") + " of the " +
              std::to_string(job.header.nframes) + " its header announces (a truncated file)";
  }
  posix_fadvise(run.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  // The normalisers, as the player reaches the frames by playing from frame
  // 0: the causal adaptation moves on with every frame of each eye, from
  // 0.0; in look-ahead mode the window around a frame gives the normaliser
  // and the peak wherever it holds a good record.
  if (job.tmo && end >= job.first) {
    const size_t count = (size_t)(end - job.first + 1) * neyes;
    run.normaliser.assign(count, 0.0);
    run.peak.assign(count, 0.0);
    for (size_t i = 0; i < neyes; i++) {
      double adapted = 0.0;
      for (int64_t k = 0; k <= end; k++) {
        double maxLum, logAv;
        const int got = ReadStatistics(run, k, run.eyes[i], &maxLum, &logAv);
        if (got != 0) {
          failure = "Failed to read the statistics of frame " + std::to_string(k) + ": " +
                    (got < 0 ? strerror(errno) : "the file ended");
          // Frames from k on cannot be adapted as the player adapts them.
          end = k - 1;
          failed = true;
          break;
        }
        const double avLum = AdaptLogAverage(&adapted, logAv);
        if (k >= job.first) {
          run.normaliser[(size_t)(k - job.first) * neyes + i] = avLum;
          run.peak[(size_t)(k - job.first) * neyes + i] = maxLum;
        }
        if ((k & 4095) == 0 && Stopped(job)) {
          job.report("Interrupted");
          job.report("Stopped: " + FrameRange(job.first, job.first - 1));
          return EXPORT_INTERRUPTED;
        }
      }
    }
    if (job.lookahead && end >= job.first) {
      MovieFile movie;
      AdoptMovieFile(&movie, dup(fileno(job.file)), job.header, job.byteswap);
      StatisticsCache cache;
      OpenStatisticsCache(&cache, &movie);
      for (int64_t k = job.first; k <= end; k++)
        for (size_t i = 0; i < neyes; i++) {
          double adaptedAv, adaptedPeak;
          if (LookAheadValues(&cache, k, run.eyes[i], job.radius, &adaptedAv, &adaptedPeak)) {
            run.normaliser[(size_t)(k - job.first) * neyes + i] = adaptedAv;
            run.peak[(size_t)(k - job.first) * neyes + i] = adaptedPeak;
          }
        }
      CloseStatisticsCache(&cache);
      CloseMovieFile(&movie);
    }
  }

  // Frames go out in order; up to one more than the threads are on their
  // way at a time, so that every thread has a frame while the main thread
  // writes one, as far as their memory (the samples and a thread's room)
  // stays within FRAMES_MEMORY. A range of fewer frames than threads
  // shares each frame's stages among the threads instead.
  WorkerPool pool(job.threads);
  const int64_t frames = end >= job.first ? end - job.first + 1 : 0;
  run.pool = frames < (int64_t)job.threads ? &pool : nullptr;
  const std::string header = job.stream ? PpmHeader(run.outwidth, run.height, job.depth) : "";
  const size_t picturebytes = run.stride * (size_t)run.height;
  const uint64_t framememory = picturebytes + 40 * (uint64_t)run.npixels;
  const uint64_t affordable = FRAMES_MEMORY / framememory;
  const size_t nslots = (size_t)std::max<uint64_t>(2, std::min<uint64_t>(job.threads + 1, affordable));
  std::vector<Slot> slots(nslots);

  int64_t next = job.first;     // the next frame to start
  int64_t written = job.first;  // the next frame to write
  ExportResult result = EXPORT_DONE;
  auto start = [&](int64_t k) -> bool {
    Slot &slot = slots[(size_t)(k % (int64_t)nslots)];
    slot.frame = k;
    slot.failure = NO_FAILURE;
    slot.reason.clear();
    slot.file = PendingFile();
    if (slot.data.size() != header.size() + picturebytes) {
      try {
        slot.data.assign(header.size() + picturebytes, 0);
      } catch (const std::bad_alloc &) {
        return false;
      }
      memcpy(slot.data.data(), header.data(), header.size());
      slot.header = header.size();
    }
    Slot *target = &slot;
    Run *shared = &run;
    slot.done = pool.Submit([shared, target] {
      if (shared->cancel) return;
      try {
        ConvertFrame(shared, target);
      } catch (const std::bad_alloc &) {
        target->failure = NO_MEMORY;
      }
    });
    return true;
  };

  while (written <= end) {
    while (next <= end && next - written < (int64_t)nslots) {
      if (!start(next)) {
        if (next == written) {  // not even one frame fits
          failure = "Not enough memory for the pictures of " + std::to_string(run.outwidth) + " x " +
                    std::to_string(run.height) + " pixels";
          failed = true;
          result = EXPORT_FAILED;
        }
        break;
      }
      next++;
    }
    if (result != EXPORT_DONE) break;
    Slot &slot = slots[(size_t)(written % (int64_t)nslots)];
    pool.WaitHelping(slot.done);
    if (Stopped(job)) {
      result = EXPORT_INTERRUPTED;
      failure = "Interrupted";
      break;
    }
    if (slot.failure == NO_FAILURE && job.stream) {
      if (WriteWhole(job.streamfd, slot.data.data(), slot.data.size()) != 0) {
        slot.failure = WRITE_FAILED;
        slot.reason = strerror(errno);
      }
    } else if (slot.failure == NO_FAILURE && CommitPendingFile(&slot.file) != 0) {
      slot.failure = WRITE_FAILED;
      slot.reason = strerror(errno);
    }
    if (slot.failure != NO_FAILURE) {
      const std::string what = job.stream ? "the PPM stream to the standard output"
                                          : "\"" + FormatOutputName(job.pattern, slot.frame) + "\"";
      const std::string frame = std::to_string(slot.frame);
      switch (slot.failure) {
        case READ_FAILED:
          failure = "Failed to read frame " + frame + ": " + slot.reason;
          break;
        case FILE_ENDED:
          failure = "Failed to read frame " + frame + ": the movie file ended";
          break;
        case NO_MEMORY:
          failure = "Not enough memory to convert frame " + frame;
          break;
        default:
          failure = "Failed to write " + what + " (frame " + frame + "): " + slot.reason;
          break;
      }
      failed = true;
      result = EXPORT_FAILED;
      break;
    }
    written++;
    if (job.progress) job.progress(written - job.first, frames);
  }

  // After a failure: the frames on their way are finished (their memory is
  // in use) and thrown away, their temporary files removed.
  run.cancel = true;
  for (int64_t k = written; k < next; k++) {
    Slot &slot = slots[(size_t)(k % (int64_t)nslots)];
    pool.WaitHelping(slot.done);
    DiscardPendingFile(&slot.file);
  }
  if (result == EXPORT_DONE && failed) result = EXPORT_FAILED;
  if (result != EXPORT_DONE) {
    job.report(failure);
    job.report("Stopped: " + FrameRange(job.first, written - 1));
  }
  return result;
}
