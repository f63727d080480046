// Fuzz target: a PFM picture as the builder reads it. The header reader runs
// on every input; when it accepts a size a movie can have (at most 1 << 20
// pixels), the picture is read twice: against a movie of another size, which
// must stop at the size check, and against its own size, which reads and
// encodes it when the file is long enough.
//
// Checks besides the sanitizers: a refused header says why; a picture of the
// wrong size is refused as such; a picture read fills every row of its
// record, counts no more clamped pixels than it has, and gives finite,
// positive statistics.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "builder.h"

namespace {

// A read-only stream over the fuzz input; an empty input reads as an empty
// file.
FILE *OpenInput(const uint8_t *data, size_t size) {
  if (size == 0) return fopen("/dev/null", "rb");
  return fmemopen(const_cast<uint8_t *>(data), size, "rb");
}

constexpr int64_t MAX_PIXELS = 1 << 20;

Workspace work;

PictureStatus ReadAs(const uint8_t *data, size_t size, int width, int height, std::vector<unsigned char> *pixels,
                     OutOfRange *range, double *maxLum, double *logAv, FILE *messages) {
  FILE *fp = OpenInput(data, size);
  if (fp == nullptr) abort();
  if (!work.colours) work.colours = CreateColourTable();
  pixels->assign(4 * (size_t)width * (size_t)height, 0xEE);
  RecordEncoder record;
  StartRecord(&record, work.colours.get(), width, height, pixels->data());
  *range = {0, 0};
  const PictureStatus status = ReadPFMPicture(fp, PictureSize{width, height}, &work, &record, range, messages);
  fclose(fp);
  if (status == PICTURE_READ) {
    if (record.row != height) abort();
    FinishRecord(&record, maxLum, logAv);
  }
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *messages = fopen("/dev/null", "w");
  FILE *fp = OpenInput(data, size);
  if (fp == nullptr || messages == nullptr) abort();
  PFMHeader pfm;
  const long before = ftell(messages);
  const int rc = ReadPFMHeader(fp, &pfm, messages);
  fclose(fp);
  if (rc != 0 && ftell(messages) == before) abort();  // refused without a word
  if (rc == 0 && pfm.width > 0 && pfm.height > 0 && pfm.width < 32768 && pfm.height < 32768 &&
      (int64_t)pfm.width * pfm.height <= MAX_PIXELS) {
    if (!(pfm.channels == 1 || pfm.channels == 3) || !std::isfinite(pfm.scale) || pfm.scale == 0.0f) abort();
    std::vector<unsigned char> pixels;
    OutOfRange range;
    double maxLum = -1.0, logAv = -1.0;
    const int other = pfm.width < 32767 ? pfm.width + 1 : pfm.width - 1;
    if (ReadAs(data, size, other, pfm.height, &pixels, &range, &maxLum, &logAv, messages) != PICTURE_WRONG_SIZE)
      abort();
    const PictureStatus status = ReadAs(data, size, pfm.width, pfm.height, &pixels, &range, &maxLum, &logAv, messages);
    if (status == PICTURE_WRONG_SIZE || status == PICTURE_NO_MEMORY) abort();
    if (status == PICTURE_READ) {
      const uint64_t npixels = (uint64_t)pfm.width * (uint64_t)pfm.height;
      if (range.zeroed > npixels || range.saturated > npixels) abort();
      if (!(maxLum > 0.0) || !std::isfinite(maxLum) || !(logAv > 0.0) || !std::isfinite(logAv)) abort();
    }
  }
  fclose(messages);
  return 0;
}
