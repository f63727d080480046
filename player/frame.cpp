// A frame's buffers, and making a frame: reading its records at its place in
// the file and converting the shown ones.
#include "frame.h"

#include <cstdlib>

#include "lookahead.h"
#include "utility.h"

Frame::~Frame() {
  if (block != nullptr) {
    free(block);
    return;
  }
  free(rgbe);
  for (int eye = 0; eye < 2; eye++) {
    DestroyFloatmap(out[eye]);
    free(bytes[eye]);
  }
}

FrameScratch::~FrameScratch() {
  DestroyFloatmap(fframe);
  free(lum);
}

size_t RgbeSlots(const MovieFile &movie) {
  return (size_t)movie.shown_eyes + (movie.records > movie.shown_eyes ? 1 : 0);
}

BufferFault AllocateFrame(Frame *frame, const MovieFile &movie, int eyes, size_t rgbe_slots) {
  const int W = movie.header.width, H = movie.header.height;
  frame->rgbe = (unsigned char *)malloc(4 * rgbe_slots * (size_t)W * (size_t)H);
  if (frame->rgbe == nullptr) return NO_RGBE_BUFFER;
  // The pictures to draw: three floats a pixel, bottom row first.
  for (int eye = 0; eye < eyes; eye++) {
    frame->out[eye] = CreateFloatmap(W, H);
    if (frame->out[eye] == nullptr) return NO_OUTPUT_IMAGE;
  }
  return BUFFERS_ALLOCATED;
}

BufferFault AllocateScratch(FrameScratch *scratch, const MovieFile &movie) {
  const int W = movie.header.width, H = movie.header.height;
  scratch->fframe = CreateFloatmap(W, H);
  if (scratch->fframe == nullptr) return NO_FLOAT_IMAGE;
  scratch->lum = (double *)malloc(sizeof(double) * LuminanceMapSize(W, H));
  if (scratch->lum == nullptr) return NO_LUMINANCE_MAP;
  return BUFFERS_ALLOCATED;
}

namespace {
// Offsets in a frame's block start on a cache line.
size_t Rounded(size_t n) { return (n + 63) / 64 * 64; }
}  // namespace

int AllocateFrameBlock(Frame *frame, const MovieFile &movie, int eyes, int bytes) {
  const size_t raw = Rounded(4 * RgbeSlots(movie) * movie.npixels);
  const size_t picture = Rounded(3 * sizeof(float) * movie.npixels);
  const size_t display = bytes ? Rounded(DISPLAY_PIXEL_BYTES * movie.npixels) : 0;
  unsigned char *block = (unsigned char *)malloc(raw + (size_t)eyes * (picture + display));
  if (block == nullptr) return 0;
  frame->block = block;
  frame->rgbe = block;
  for (int eye = 0; eye < eyes; eye++) {
    frame->out[eye] = (float *)(block + raw + (size_t)eye * picture);
    if (bytes) frame->bytes[eye] = block + raw + (size_t)eyes * picture + (size_t)eye * display;
  }
  return 1;
}

size_t FrameBytes(const MovieFile &movie, int eyes, int bytes) {
  const size_t pixel = 4 * RgbeSlots(movie) + (size_t)eyes * (3 * sizeof(float) + (bytes ? DISPLAY_PIXEL_BYTES : 0));
  return pixel * movie.npixels;
}

BufferFault AllocateDisplayBytes(Frame *frame, const MovieFile &movie, int eyes) {
  // Four bytes a pixel (blue, green, red, alpha), for each eye shown.
  for (int eye = 0; eye < eyes; eye++) {
    frame->bytes[eye] = (unsigned char *)malloc(DISPLAY_PIXEL_BYTES * movie.npixels);
    if (frame->bytes[eye] == nullptr) return NO_DISPLAY_BYTES;
  }
  return BUFFERS_ALLOCATED;
}

const char *FrameFaultMessage(FrameFault fault) {
  switch (fault) {
    case FRAME_NO_MAXLUM:
      return "Error reading Maximum Lum in scene data";
    case FRAME_NO_LOGAV:
      return "Error reading the Log Average in scene data";
    case FRAME_NO_PIXELS:
      return "Error reading image data";
    default:
      return "";
  }
}

namespace {

// Whether the pictures made with `settings` depend on the adaptation state:
// with tone mapping, unless every eye's look-ahead window replaces it.
int UsesAdaptation(const FrameJob &job) {
  if (!job.settings.tmo) return 0;
  if (!job.settings.lookahead) return 1;
  for (int eye = 0; eye < job.movie->shown_eyes; eye++)
    if (!LookAheadCovers(job.statistics, eye, job.number, job.settings.radius)) return 1;
  return 0;
}

}  // namespace

FrameFault MakeFrame(const FrameJob &job, FrameScratch *scratch, Frame *frame) {
  const double t0 = GetRunTime();
  const MovieFile &movie = *job.movie;
  frame->number = job.number;
  frame->position = job.position;
  frame->settings = job.settings;
  frame->shown = 0;
  frame->uses_adaptation = UsesAdaptation(job);
  for (int eye = 0; eye < 2; eye++) {
    frame->adapted_before[eye] = frame->adapted_after[eye] = job.adapted[eye];
    frame->record_logAv[eye] = 0.0;
  }
  const ConversionSettings cs = MakeConversion(job.settings, movie.header.width, movie.header.height, job.number,
                                               job.pool, job.statistics);
  uint64_t at = job.position;
  for (int record = 0; record < movie.records; record++, at += movie.record_size) {
    if (job.cancelled != nullptr && job.cancelled->load(std::memory_order_relaxed)) return FRAME_CANCELLED;
    const bool shown = record < movie.shown_eyes;
    // Each eye shown keeps its raw pixels in a slot of its own; the records
    // not shown share the next.
    unsigned char *pixels = frame->rgbe + 4 * movie.npixels * (size_t)(shown ? record : movie.shown_eyes);
    double maxLum = 0.0, logAv = 0.0;
    const int got = ReadStatisticsAt(movie, at, &maxLum, &logAv);
    if (got < 2) return got == 0 && shown ? FRAME_NO_MAXLUM : FRAME_NO_LOGAV;
    if (ReadPixelsAt(movie, at, pixels) != 0) return FRAME_NO_PIXELS;
    if (!shown) continue;  // read, not shown
    ConvertRecord(cs, record, pixels, maxLum, logAv, &frame->adapted_after[record], scratch->lum, scratch->fframe,
                  frame->out[record], job.settings.bytes ? frame->bytes[record] : nullptr);
    frame->record_logAv[record] = logAv;
    frame->last_logAv = logAv;
  }
  frame->seconds = GetRunTime() - t0;
  return FRAME_MADE;
}

void MoveAdaptation(const Frame &frame, int eyes, double adapted[2]) {
  if (!frame.settings.tmo) return;
  for (int eye = 0; eye < eyes; eye++) AdaptLogAverage(&adapted[eye], frame.record_logAv[eye]);
}
