// Preparing the next frame ahead: while the main thread draws the frame
// shown, a worker reads the frame that playback asks for next and converts
// it into a second set of buffers. The main thread takes it only when
// nothing that affects it has changed since; otherwise it is thrown away
// and the frame is read as if it had never been prepared.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <utility>

#include "player.h"
#include "pool.h"
#include "utility.h"

long prepared_used = 0, prepared_discarded = 0;

namespace {

// What a preparation started from, and what it gave.
struct Preparation {
  // Inputs, fixed when it starts.
  int frame;
  off_t position;
  ConversionSettings settings;
  double adapted_before[2];
  int fd;
  size_t npixels;
  int nrecords, showneyes, byteswap, bytes;
  // Results.
  bool ok;
  double adapted_after[2];
  double last_logAv;
  double seconds;
};

Preparation prep;
bool preparing = false;            // a preparation has been started and not yet taken or thrown away
std::future<void> prepared;        // ready when the worker is done with it
std::atomic<bool> cancelled{false};
FrameBuffers spare = {};           // the second set of buffers, allocated on first use

bool Same(float a, float b) { return memcmp(&a, &b, sizeof a) == 0; }
bool Same(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

// Reads `size` bytes at `position`; false when the file ends first.
bool ReadAt(int fd, void *buffer, size_t size, off_t position) {
  unsigned char *p = (unsigned char *)buffer;
  while (size > 0) {
    const ssize_t got = pread(fd, p, size, position);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    size -= (size_t)got;
    position += got;
  }
  return true;
}

// The worker's part: every record of the frame, as HandleNextFrame reads
// them, into the spare buffers. Any short read makes the preparation fail;
// the frame is then read again in the main thread, which reports it.
void RunPreparation(Preparation *p, FrameBuffers buffers) {
  const double t0 = GetRunTime();
  p->ok = false;
  p->adapted_after[0] = p->adapted_before[0];
  p->adapted_after[1] = p->adapted_before[1];
  const size_t pixelbytes = 4 * p->npixels;
  off_t at = p->position;
  for (int record = 0; record < p->nrecords; record++) {
    if (cancelled.load(std::memory_order_relaxed)) return;
    double statistics[2];
    // Each eye shown keeps its raw pixels in a slot of its own, as
    // HandleNextFrame reads them; the records not shown share the next.
    unsigned char *pixels = buffers.rgbe + pixelbytes * (size_t)(record < p->showneyes ? record : p->showneyes);
    if (!ReadAt(p->fd, statistics, sizeof statistics, at)) return;
    if (!ReadAt(p->fd, pixels, pixelbytes, at + (off_t)sizeof statistics)) return;
    at += (off_t)(sizeof statistics + pixelbytes);
    if (record >= p->showneyes) continue;  // read, not shown
    if (p->byteswap) {
      SwapDouble(&statistics[0]);
      SwapDouble(&statistics[1]);
    }
    ConvertRecord(p->settings, record, pixels, statistics[0], statistics[1], &p->adapted_after[record],
                  buffers.lum, buffers.fframe, buffers.out[record], p->bytes ? buffers.bytes[record] : nullptr);
    p->last_logAv = statistics[1];
  }
  p->ok = true;
  p->seconds = GetRunTime() - t0;
}

bool AllocateSpare() {
  if (spare.rgbe) return true;
  const int W = header.width, H = header.height;
  // 4 bytes a pixel for each eye shown, and one more record's room when a
  // frame holds records that are read but not shown.
  const size_t slots = (size_t)showneyes + (nrecords > showneyes ? 1 : 0);
  spare.rgbe = (unsigned char *)malloc(4 * npixels * slots);
  spare.fframe = CreateFloatmap(W, H);
  spare.lum = (double *)malloc(8 * ((size_t)W + 2) * ((size_t)H + 2));
  spare.out[0] = CreateFloatmap(W, H);
  spare.out[1] = showneyes == 2 ? CreateFloatmap(W, H) : nullptr;
  for (int eye = 0; eye < showneyes; eye++)
    spare.bytes[eye] = upload_bytes ? (unsigned char *)malloc(DISPLAY_PIXEL_BYTES * npixels) : nullptr;
  const bool ok = spare.rgbe && spare.fframe && spare.lum && spare.out[0] && (showneyes < 2 || spare.out[1]) &&
                  (!upload_bytes || (spare.bytes[0] && (showneyes < 2 || spare.bytes[1])));
  if (!ok) FreeSpareBuffers();
  return ok;
}

// Waits for the worker, helping it; the preparation is then no longer
// under way.
void Finish() {
  if (!preparing) return;
  if (workers != nullptr) workers->WaitHelping(prepared);
  try {
    prepared.get();
  } catch (...) {  // no memory for a worker's room: the frame is read here instead
    prep.ok = false;
  }
  preparing = false;
  cancelled = false;
}

// Whether a preparation fits the frame asked for now.
bool Fits(const Preparation &p, const StepPlan &plan) {
  const ConversionSettings now = CurrentSettings();
  return p.frame == plan.frame && p.position == plan.position && p.settings.tmo == now.tmo &&
         p.settings.lookahead == now.lookahead &&
         Same(p.settings.exposure, now.exposure) && Same(p.settings.biasParam, now.biasParam) &&
         Same(p.adapted_before[0], logAv0) && Same(p.adapted_before[1], logAv0_right) &&
         p.bytes == upload_bytes;
}

// Fixes what a preparation of the frame `plan` asks for starts from.
void Describe(const StepPlan &plan, int fd) {
  prep.frame = plan.frame;
  prep.position = plan.position;
  prep.settings = CurrentSettings();
  prep.settings.frame = plan.frame;
  prep.adapted_before[0] = logAv0;
  prep.adapted_before[1] = logAv0_right;
  prep.fd = fd;
  prep.npixels = npixels;
  prep.nrecords = nrecords;
  prep.showneyes = showneyes;
  prep.byteswap = byteswap;
  prep.bytes = upload_bytes;
  cancelled = false;
}

}  // namespace

void FreeSpareBuffers() {
  StopPreparing();
  free(spare.rgbe);
  DestroyFloatmap(spare.fframe);
  free(spare.lum);
  for (int eye = 0; eye < 2; eye++) {
    DestroyFloatmap(spare.out[eye]);
    free(spare.bytes[eye]);
  }
  spare = FrameBuffers{};
}

void PrepareFrame(int frame) {
  if (workers == nullptr || workers->Threads() < 2 || fptr == nullptr) return;
  const int fd = fileno(fptr);
  if (fd < 0) return;  // a movie in memory: nothing to read ahead from
  StopPreparing();
  const StepPlan plan = PlanStep(fptr, frame);
  if (!AllocateSpare()) return;  // no room: play as without preparing
  // The kernel reads the next frames ahead of playback.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  posix_fadvise(fd, plan.position, 4 * offset, POSIX_FADV_WILLNEED);

  Describe(plan, fd);
  preparing = true;
  FrameBuffers buffers = spare;
  prepared = workers->Submit([buffers]() { RunPreparation(&prep, buffers); });
}

int PrepareFrameNow(FILE *file, const StepPlan &plan) {
  StopPreparing();
  const int fd = fileno(file);
  if (fd < 0 || !AllocateSpare()) return 0;
  Describe(plan, fd);
  // Here and now, the conversion shared with the workers as usual; no
  // memory for the room it works in fails the frame like a short read.
  std::promise<void> done;
  try {
    RunPreparation(&prep, spare);
    done.set_value();
  } catch (...) {
    done.set_exception(std::current_exception());
  }
  prepared = done.get_future();
  preparing = true;
  return prep.ok ? 1 : 0;
}

void StopPreparing() {
  if (!preparing) return;
  cancelled = true;
  Finish();
  prepared_discarded++;
}

int UsePreparedFrame(FILE *file, const StepPlan &plan) {
  if (!preparing) return 0;
  if (!Fits(prep, plan)) {
    StopPreparing();
    return 0;
  }
  Finish();
  if (!prep.ok) {  // read again here, with the messages of a failed read
    prepared_discarded++;
    return 0;
  }
  std::swap(rgbe_buf, spare.rgbe);
  std::swap(fframe, spare.fframe);
  std::swap(Lum, spare.lum);
  std::swap(out_img, spare.out[0]);
  std::swap(out_bytes, spare.bytes[0]);
  if (showneyes == 2) {
    std::swap(out_img_right, spare.out[1]);
    std::swap(out_bytes_right, spare.bytes[1]);
    logAv0_right = prep.adapted_after[1];
  }
  logAv0 = prep.adapted_after[0];
  logAv = prep.last_logAv;
  readtime += prep.seconds;
  fseeko(file, plan.position + offset, SEEK_SET);
  prepared_used++;
  return 1;
}
