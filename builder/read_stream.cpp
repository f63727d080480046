// Reading the pictures of a stream one after another: the thread that
// reads the stream takes each picture's header and exactly the bytes of its
// pixels, so that the next picture starts where this one ends; the workers
// convert them. PFM and 16-bit PPM pictures say their length in their
// header; a Radiance picture's run-length-encoded scanlines are decoded
// here, which is the only way to find its end.
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

// Reads `size` bytes of pixels into picture->bytes. Returns STREAM_PICTURE,
// or why not with the message printed.
StreamRead ReadPixels(FILE *in, uint64_t size, StreamPicture *picture, FILE *messages, const char *kind) {
  unsigned char *bytes = Reserve(&picture->bytes, (size_t)size);
  if (bytes == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return STREAM_NO_MEMORY;
  }
  const size_t got = fread(bytes, 1, (size_t)size, in);
  if (got == size) return STREAM_PICTURE;
  if (ferror(in))
    fprintf(messages, "%s read error: %s\n", kind, strerror(errno));
  else
    fprintf(messages, "%s read error: the stream ended inside the picture, after %zu of its %" PRIu64 " bytes\n", kind,
            got, size);
  return STREAM_BROKEN;
}

StreamRead ReadPFM(FILE *in, PictureSize size, StreamPicture *picture, FILE *messages) {
  if (ReadPFMHeader(in, &picture->pfm, messages) != 0) return STREAM_BROKEN;
  if (picture->pfm.width != size.width || picture->pfm.height != size.height) {
    fprintf(messages, "The images have a different sixe than requested \n");
    return STREAM_WRONG_SIZE;
  }
  picture->kind = STREAM_PFM;
  const uint64_t bytes = 4 * (uint64_t)picture->pfm.channels * (uint64_t)size.width * (uint64_t)size.height;
  return ReadPixels(in, bytes, picture, messages, "PFM");
}

StreamRead ReadPPM(FILE *in, PictureSize size, StreamPicture *picture, FILE *messages) {
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

StreamRead ReadStreamPicture(FILE *in, PictureSize size, StreamPicture *picture, FILE *messages) {
  picture->kind = STREAM_NONE;
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
  if (first == 'P' && (second == 'F' || second == 'f')) return ReadPFM(in, size, picture, messages);
  if (first == 'P' && second == '6') {
    getc(in);
    return ReadPPM(in, size, picture, messages);
  }
  if (first == '#' && second == '?') return ReadRGBE(in, size, picture, messages);
  fprintf(messages, "Stream bad format: not a PFM, Radiance RGBE or 16-bit PPM picture\n");
  return STREAM_BROKEN;
}
