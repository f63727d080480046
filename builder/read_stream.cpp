// Reading the pictures of a stream one after another: the thread that
// reads the stream takes each picture's header and exactly the bytes of its
// pixels, so that the next picture starts where this one ends; the workers
// encode them. PFM and 16-bit PPM pictures say their length in their
// header, and their linear values become RGBE pixels here, band by band; a
// Radiance picture's run-length-encoded scanlines are decoded here, which is
// the only way to find its end.
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "builder.h"
#include "rgbe.h"

namespace {

bool IsSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A PPM header number: white space and comments (# to the line's end)
// before it, then decimal digits, up to 10^9. -1 for anything else.
int64_t ReadPpmNumber(FILE *in) {
  int c = getc(in);
  while (IsSpace(c) || c == '#') {
    if (c == '#')
      while (c != EOF && c != '\n' && c != '\r') c = getc(in);
    c = getc(in);
  }
  int64_t value = 0;
  int digits = 0;
  for (; c >= '0' && c <= '9'; c = getc(in), digits++) {
    value = value * 10 + (c - '0');
    if (value > 1000000000) return -1;
  }
  if (digits == 0 || !IsSpace(c)) return -1;  // the number ends with one white-space character
  return value;
}

// Bytes of a band of linear values read and converted at a time.
constexpr size_t BAND_BYTES = 256 * 1024;

size_t BandRows(size_t row_bytes, size_t height) {
  size_t rows = BAND_BYTES / row_bytes;
  if (rows < 1) rows = 1;
  return rows < height ? rows : height;
}

// Reads exactly `bytes` into `to`, `done` of the picture's `total` read
// before. Returns STREAM_PICTURE, or STREAM_BROKEN with the message printed.
StreamRead ReadBytes(FILE *in, void *to, size_t bytes, uint64_t done, uint64_t total, FILE *messages,
                     const char *kind) {
  const size_t got = fread(to, 1, bytes, in);
  if (got == bytes) return STREAM_PICTURE;
  if (ferror(in))
    fprintf(messages, "%s read error: %s\n", kind, strerror(errno));
  else
    fprintf(messages, "%s read error: the stream ended inside the picture, after %" PRIu64 " of its %" PRIu64
            " bytes\n", kind, done + got, total);
  return STREAM_BROKEN;
}

// Reads `size` bytes of pixels into picture->bytes. Returns STREAM_PICTURE,
// or why not with the message printed.
StreamRead ReadPixels(FILE *in, uint64_t size, StreamPicture *picture, FILE *messages, const char *kind) {
  unsigned char *bytes = Reserve(&picture->bytes, (size_t)size);
  if (bytes == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return STREAM_NO_MEMORY;
  }
  return ReadBytes(in, bytes, (size_t)size, 0, size, messages, kind);
}

// Linear PFM values into RGBE pixels band by band. The stream holds the
// bottom row first: the band of stream rows f .. f + n - 1 is the
// picture's rows H - f - n .. H - f - 1.
StreamRead ReadPFMValues(FILE *in, StreamPicture *picture, ScratchBuffer *band, FILE *messages) {
  const PFMHeader &pfm = picture->pfm;
  const size_t W = (size_t)pfm.width, H = (size_t)pfm.height, row_bytes = 4 * W * (size_t)pfm.channels;
  const size_t rows = BandRows(row_bytes, H);
  unsigned char *rgbe = Reserve(&picture->bytes, 4 * W * H);
  float *floats = rgbe ? (float *)Reserve(band, rows * row_bytes) : nullptr;
  if (floats == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return STREAM_NO_MEMORY;
  }
  picture->kind = STREAM_RGBE;
  for (size_t f = 0; f < H; f += rows) {
    const size_t n = rows < H - f ? rows : H - f;
    const StreamRead got = ReadBytes(in, floats, n * row_bytes, f * row_bytes, H * row_bytes, messages, "PFM");
    if (got != STREAM_PICTURE) return got;
    ConvertPFMBand(pfm, PictureSignal(), floats, n, rgbe + 4 * W * (H - f - n), &picture->range);
  }
  return STREAM_PICTURE;
}

StreamRead ReadPFM(FILE *in, PictureSize size, const PictureSignal &signal, ScratchBuffer *band,
                   StreamPicture *picture, FILE *messages) {
  if (ReadPFMHeader(in, &picture->pfm, messages) != 0) return STREAM_BROKEN;
  if (picture->pfm.width != size.width || picture->pfm.height != size.height) {
    fprintf(messages, "The images have a different sixe than requested \n");
    return STREAM_WRONG_SIZE;
  }
  if (signal.curve == SIGNAL_LINEAR) return ReadPFMValues(in, picture, band, messages);
  picture->kind = STREAM_PFM;
  const uint64_t bytes = 4 * (uint64_t)picture->pfm.channels * (uint64_t)size.width * (uint64_t)size.height;
  return ReadPixels(in, bytes, picture, messages, "PFM");
}

// Linear PPM values into RGBE pixels band by band, top row first.
StreamRead ReadPPMValues(FILE *in, PictureSize size, StreamPicture *picture, ScratchBuffer *band, FILE *messages) {
  const size_t W = (size_t)size.width, H = (size_t)size.height, rows = BandRows(18 * W, H);
  unsigned char *rgbe = Reserve(&picture->bytes, 4 * W * H);
  unsigned char *room = rgbe ? Reserve(band, rows * 18 * W) : nullptr;
  if (room == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return STREAM_NO_MEMORY;
  }
  float *floats = (float *)room;  // 12 bytes a pixel, then the 6 of the samples
  unsigned char *samples = room + rows * 12 * W;
  picture->kind = STREAM_RGBE;
  for (size_t top = 0; top < H; top += rows) {
    const size_t n = rows < H - top ? rows : H - top;
    const StreamRead got = ReadBytes(in, samples, n * 6 * W, top * 6 * W, H * 6 * W, messages, "PPM");
    if (got != STREAM_PICTURE) return got;
    PpmSamplesToFloats(samples, 3 * W * n, floats);
    ConvertFloats(floats, 3, W * n, rgbe + 4 * W * top, &picture->range);
  }
  return STREAM_PICTURE;
}

StreamRead ReadPPM(FILE *in, PictureSize size, const PictureSignal &signal, ScratchBuffer *band,
                   StreamPicture *picture, FILE *messages) {
  getc(in);  // the '6' after the 'P'
  const int64_t width = ReadPpmNumber(in), height = width < 0 ? -1 : ReadPpmNumber(in);
  const int64_t maxval = height < 0 ? -1 : ReadPpmNumber(in);
  if (maxval < 0) {
    fprintf(messages, "PPM bad file format: bad header\n");
    return STREAM_BROKEN;
  }
  if (maxval != 65535) {
    fprintf(messages, "PPM bad file format: maxval %" PRId64 ", halvpack reads 16-bit pictures (maxval 65535)\n",
            maxval);
    return STREAM_BROKEN;
  }
  if (width != size.width || height != size.height) {
    fprintf(messages, "The images have a different sixe than requested \n");
    return STREAM_WRONG_SIZE;
  }
  if (signal.curve == SIGNAL_LINEAR) return ReadPPMValues(in, size, picture, band, messages);
  picture->kind = STREAM_PPM16;
  return ReadPixels(in, 6 * (uint64_t)width * (uint64_t)height, picture, messages, "PPM");
}

StreamRead ReadRGBE(FILE *in, PictureSize size, StreamPicture *picture, FILE *messages) {
  int width, height;
  RGBE_PictureInfo info;
  if (RGBE_ReadHeader(in, &width, &height, &info) != 0) return STREAM_BROKEN;
  if (width != size.width || height != size.height) {
    fprintf(messages, "The images have a different sixe than requested \n");
    return STREAM_WRONG_SIZE;
  }
  picture->kind = STREAM_RGBE;
  unsigned char *pixels = Reserve(&picture->bytes, 4 * (size_t)width * (size_t)height);
  if (pixels == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return STREAM_NO_MEMORY;
  }
  if (RGBE_ReadRawPixels_RLE(in, pixels, width, height) != 0) return STREAM_BROKEN;
  return STREAM_PICTURE;
}

}  // namespace

StreamRead ReadStreamPicture(FILE *in, PictureSize size, const PictureSignal &signal, ScratchBuffer *band,
                             StreamPicture *picture, FILE *messages) {
  picture->kind = STREAM_NONE;
  picture->range = {0, 0};
  const int first = getc(in);
  if (first == EOF) {
    if (!ferror(in)) return STREAM_END;
    fprintf(messages, "Stream read error: %s\n", strerror(errno));
    return STREAM_BROKEN;
  }
  const int second = getc(in);
  if (second == EOF) {
    fprintf(messages, "Stream read error: the stream ended inside a picture, after its first byte\n");
    return STREAM_BROKEN;
  }
  // Both bytes go back for the picture's own reader (the C library takes
  // back more than the one byte the standard promises).
  ungetc(second, in);
  ungetc(first, in);
  if (first == 'P' && (second == 'F' || second == 'f')) return ReadPFM(in, size, signal, band, picture, messages);
  if (first == 'P' && second == '6') {
    getc(in);
    return ReadPPM(in, size, signal, band, picture, messages);
  }
  if (first == '#' && second == '?') return ReadRGBE(in, size, picture, messages);
  fprintf(messages, "Stream bad format: not a PFM, Radiance RGBE or 16-bit PPM picture\n");
  return STREAM_BROKEN;
}
