// Fuzz target: a Radiance picture as the builder reads it. The header reader
// runs with and without a header record; when it accepts a size that a
// caller would allocate (at most 1 << 20 pixels), the scanline reader fills a
// buffer of exactly that size.
//
// Checks besides the sanitizers: a successful pixel read fills every float
// of the picture with a decoded value (never 0, never NaN or infinite), and
// the header record always holds a terminated program word.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rgbe.h"

namespace {

// A read-only stream over the fuzz input; an empty input reads as an empty
// file.
FILE *OpenInput(const uint8_t *data, size_t size) {
  if (size == 0) return fopen("/dev/null", "rb");
  return fmemopen(const_cast<uint8_t *>(data), size, "rb");
}

constexpr int64_t MAX_PIXELS = 1 << 20;

void ReadPicture(const uint8_t *data, size_t size, bool with_record) {
  FILE *fp = OpenInput(data, size);
  if (fp == nullptr) abort();
  int width = -7, height = -7;
  RGBE_PictureInfo info;
  memset(&info, 0x55, sizeof(info));
  const int header = RGBE_ReadHeader(fp, &width, &height, with_record ? &info : nullptr);
  if (with_record && memchr(info.program, 0, sizeof(info.program)) == nullptr) abort();
  if (header == 0 && width > 0 && height > 0 && (int64_t)width * height <= MAX_PIXELS) {
    const size_t nfloats = 3 * (size_t)width * (size_t)height;
    float *image = (float *)malloc(nfloats * sizeof(float));
    for (size_t i = 0; i < nfloats; i++) image[i] = NAN;
    if (RGBE_ReadPixels_RLE(fp, image, width, height) == 0) {
      for (size_t i = 0; i < nfloats; i++)
        if (!(image[i] > 0.0f) || std::isinf(image[i])) abort();
    }
    free(image);
  }
  fclose(fp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ReadPicture(data, size, true);
  ReadPicture(data, size, false);
  return 0;
}
