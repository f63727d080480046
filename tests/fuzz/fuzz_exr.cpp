// Fuzz target: OpenEXR pictures through the builder's reader, with its
// limits in front of the library (the data window's side, the library's
// own image and tile limits).
//
// Input: 1 control byte (the view asked for: the file's picture, the left or
// the right one of a pair), then the file, which is read from a file in
// memory by its /proc/self/fd name. The sizes of the parts' display windows
// (the four smallest of at most 1 << 20 pixels) are the sizes the picture is
// read against, and one size that none of them has.
//
// Checks besides the sanitizers: a picture read fills every row of its
// record, counts no more clamped pixels than it has, and gives finite,
// positive statistics; any other outcome says why; a size that no part has
// is refused before any pixel is read.
#include <openexr.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "builder.h"

namespace {

constexpr int64_t MAX_PIXELS = 1 << 20;
constexpr int MAX_SIZES = 4;  // sizes read against, of the smallest

Workspace work;

void Silent(exr_const_context_t, exr_result_t, const char *) {}

// The sizes of the parts' display windows (sides below 32768).
std::set<std::pair<int, int>> DisplaySizes(const char *name) {
  std::set<std::pair<int, int>> sizes;
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.error_handler_fn = Silent;
  exr_context_t context = nullptr;
  if (exr_start_read(&context, name, &init) != EXR_ERR_SUCCESS) return sizes;
  int parts = 0;
  exr_get_count(context, &parts);
  for (int p = 0; p < parts; p++) {
    exr_attr_box2i_t box;
    if (exr_get_display_window(context, p, &box) != EXR_ERR_SUCCESS) continue;
    const int64_t w = (int64_t)box.max.x - box.min.x + 1, h = (int64_t)box.max.y - box.min.y + 1;
    if (w > 0 && h > 0 && w < 32768 && h < 32768) sizes.insert({(int)w, (int)h});
  }
  exr_finish(&context);
  return sizes;
}

PictureStatus ReadAs(const char *name, int fd, PictureView view, int width, int height, FILE *messages) {
  if (lseek(fd, 0, SEEK_SET) != 0) abort();
  FILE *fp = fdopen(dup(fd), "rb");
  if (fp == nullptr) abort();
  if (!work.colours) work.colours = CreateColourTable();
  std::vector<unsigned char> pixels(4 * (size_t)width * (size_t)height, 0xEE);
  RecordEncoder record;
  StartRecord(&record, work.colours.get(), width, height, pixels.data());
  OutOfRange range = {0, 0};
  const long before = ftell(messages);
  const PictureStatus status =
      ReadOpenEXRPicture(fp, name, view, PictureSize{width, height}, &work, &record, &range, messages);
  fclose(fp);
  if (status == PICTURE_READ) {
    if (record.row != height) abort();
    const uint64_t npixels = (uint64_t)width * (uint64_t)height;
    if (range.zeroed > npixels || range.saturated > npixels) abort();
    double maxLum = -1.0, logAv = -1.0;
    FinishRecord(&record, &maxLum, &logAv);
    if (!(maxLum > 0.0) || !std::isfinite(maxLum) || !(logAv > 0.0) || !std::isfinite(logAv)) abort();
  } else if (ftell(messages) == before) {
    abort();  // refused without a word
  }
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static const PictureView views[3] = {VIEW_DEFAULT, VIEW_LEFT, VIEW_RIGHT};
  const PictureView view = views[data[0] % 3];
  const int fd = memfd_create("picture", MFD_CLOEXEC);
  if (fd < 0) abort();
  for (size_t done = 1; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) abort();
    done += (size_t)n;
  }
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  FILE *messages = fopen("/dev/null", "w");
  if (messages == nullptr) abort();

  const std::set<std::pair<int, int>> sizes = DisplaySizes(name.c_str());
  int widest = 16, reads = 0;
  for (const auto &s : sizes) {
    if ((int64_t)s.first * s.second <= MAX_PIXELS && reads++ < MAX_SIZES)
      ReadAs(name.c_str(), fd, view, s.first, s.second, messages);
    if (s.first >= widest) widest = s.first + 1;
  }
  const PictureStatus other = ReadAs(name.c_str(), fd, view, widest, 16, messages);
  if (other == PICTURE_READ || other == PICTURE_NO_MEMORY) abort();
  {
    FILE *fp = fdopen(dup(fd), "rb");
    if (fp == nullptr) abort();
    HoldsStereoPair(fp, name.c_str());
    fclose(fp);
  }
  fclose(messages);
  close(fd);
  return 0;
}
