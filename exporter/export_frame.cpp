// The conversion of one frame of an export: its shown records read,
// converted as the player converts them, quantised into the slot's samples
// and, for PNG output, encoded into the frame's temporary file.
#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "export_run.h"
#include "render.h"

namespace {

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

// Rows of a strip of the last stage: their floats stay in the cache until
// they are quantised.
constexpr int STRIP_ROWS = 8;

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

ConversionSettings FrameSettings(const Run &run, int64_t k) {
  ConversionSettings cs{};
  cs.width = run.width;
  cs.height = run.height;
  cs.npixels = run.npixels;
  cs.tmo = run.job->tmo;
  cs.exposure = run.job->exposure;
  cs.biasParam = run.job->biasParam;
  cs.lookahead = 0;  // the normalisers are worked out already
  cs.avx = run.quantiser.avx;
  cs.frame = (int)k;
  cs.pool = run.pool;
  return cs;
}

// Converts the pixels in s->rgbe of shown eye i into the samples of the
// frame. The last stage and the quantisation go strip by strip, so that the
// floats are quantised while they are still in the cache. (Both stages work
// pixel by pixel: strips give the same pixels.) A frame whose stages are
// shared among the threads is done in one strip. HDR output turns the
// strip's values into light first and counts it in *light.
void ConvertRecord(const Run &run, const ConversionSettings &cs, size_t i, Scratch *s, unsigned char *samples,
                   FrameLight *light) {
  const ExportJob &job = *run.job;
  DecodeFrame(cs, s->rgbe, s->lum, s->flt);
  if (job.tmo) {
    const size_t at = (size_t)(cs.frame - job.first) * run.eyes.size() + i;
    TonemapWithNormaliser(cs, s->lum, run.peak[at], run.normaliser[at]);
  }
  const int rows = run.pool != nullptr ? run.height : STRIP_ROWS;
  for (int y = 0; y < run.height; y += rows) {
    const int n = run.height - y < rows ? run.height - y : rows;
    const size_t first = (size_t)y * (size_t)run.width;
    ConversionSettings strip = cs;
    strip.height = n;
    strip.npixels = (size_t)n * (size_t)run.width;
    if (job.tmo)
      ColourFrame(strip, s->lum + first, s->flt + 3 * first, s->out, nullptr);
    else
      ExposeFrame(strip, s->flt + 3 * first, s->out, nullptr);
    if (job.pq) ToPqLight(s->out, strip.npixels, run.hdrscale, job.peak, run.quantiser.avx, light);
    if (job.measure_only) continue;
    QuantisePicture(run.quantiser, s->out, run.width, n, samples + (size_t)(run.height - y - n) * run.stride,
                    run.stride, (int)i * run.width);
  }
}

// Reads and converts every shown record of the slot's frame into its
// samples. Returns false with the slot's failure set.
bool ConvertRecords(Run *run, Slot *slot) {
  std::unique_ptr<Scratch> s = TakeScratch(run);
  if (!s) {
    slot->failure = NO_MEMORY;
    return false;
  }
  const ConversionSettings cs = FrameSettings(*run, slot->frame);
  unsigned char *samples = slot->data.data() + slot->header;
  for (size_t i = 0; i < run->eyes.size(); i++) {
    const int got = ReadPixelsAt(*run->movie, RecordPosition(*run->movie, slot->frame, run->eyes[i]), s->rgbe);
    if (got != 0) {
      slot->failure = got < 0 ? READ_FAILED : FILE_ENDED;
      if (got < 0) slot->reason = strerror(errno);
      GiveScratch(run, std::move(s));
      return false;
    }
    ConvertRecord(*run, cs, i, s.get(), samples, &slot->light);
  }
  GiveScratch(run, std::move(s));
  return true;
}

// Encodes the slot's samples as a PNG into a temporary file beside the
// frame's name, renamed into place when the frame's turn to be written comes.
void EncodePng(const Run &run, Slot *slot) {
  const ExportJob &job = *run.job;
  const std::string name = FormatOutputName(job.pattern, slot->frame);
  if (CreatePendingFile(name, &slot->file) != 0) {
    slot->failure = WRITE_FAILED;
    slot->reason = strerror(errno);
    return;
  }
  std::string error;
  const unsigned char *samples = slot->data.data() + slot->header;
  if (WritePng(slot->file.fd, run.outwidth, run.height, job.depth, samples, run.stride, &error) != 0) {
    slot->failure = WRITE_FAILED;
    slot->reason = error;
    return;
  }
  if (ClosePendingFile(&slot->file) != 0) {
    slot->failure = WRITE_FAILED;
    slot->reason = strerror(errno);
  }
}

}  // namespace

Scratch::~Scratch() {
  free(rgbe);
  free(lum);
  free(flt);
  free(out);
}

void ConvertFrame(Run *run, Slot *slot) {
  if (ConvertRecords(run, slot) && !run->job->stream && !run->job->measure_only) EncodePng(*run, slot);
}
