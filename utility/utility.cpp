#include "utility.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdlib>

namespace {
void *allocate_pixels(int width, int height, size_t bytes_per_pixel) {
  if (width <= 0 || height <= 0) return nullptr;
  const size_t npixels = (size_t)width * (size_t)height;
  if (npixels > SIZE_MAX / bytes_per_pixel) return nullptr;
  return malloc(npixels * bytes_per_pixel);
}
}  // namespace

float *CreateFloatmap(int width, int height) { return (float *)allocate_pixels(width, height, 12); }

void DestroyFloatmap(float *image) { free(image); }

unsigned char *CreateRGBEmap(int width, int height) {
  return (unsigned char *)allocate_pixels(width, height, 4);
}

FILE *OpenRegularFile(const char *name, const char *mode) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE *fp = fdopen(fd, mode);
  if (fp == nullptr) close(fd);
  return fp;
}

double GetRunTime() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return (double)tv.tv_sec + (double)tv.tv_usec * 0.000001;
}

int ReadLine(FILE *stream, char *buffer, int limit) {
  int count = 0;
  buffer[0] = 0;
  for (;;) {
    const int c = getc(stream);
    if (c == '\n') return 1;
    if (c == '\r') {
      // CR LF is one line end, whatever the platform's stdio does.
      const int next = getc(stream);
      if (next != '\n' && next != EOF) ungetc(next, stream);
      return 1;
    }
    if (c == EOF) return 0;
    buffer[count++] = (char)c;
    buffer[count] = 0;
    if (count >= limit) return 1;
  }
}
