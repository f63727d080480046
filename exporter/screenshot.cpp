// The player's screenshot: the pictures shown, side by side for a stereo
// pair, as an 8-bit PNG with the display gamma baked in, under a name of the
// movie and the frame that never replaces an existing file.
#include <cerrno>
#include <cstring>
#include <vector>

#include "exporter.h"

namespace {

// Names tried before giving up: NAME-FFFFF.png, then -2 ... -9999.
constexpr int SHOT_ATTEMPTS = 9999;

}  // namespace

std::string ScreenshotName(const std::string &moviepath, int frame, int attempt) {
  const size_t slash = moviepath.rfind('/');
  std::string name = slash == std::string::npos ? moviepath : moviepath.substr(slash + 1);
  // The extension: from the last dot on, unless the dot opens the name.
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  if (name.empty()) name = "movie";
  char number[32];
  snprintf(number, sizeof number, "-%05d", frame);
  name += number;
  if (attempt > 1) name += "-" + std::to_string(attempt);
  return name + ".png";
}

int WriteScreenshot(const std::string &moviepath, int frame, const float *left, const float *right, int width,
                    int height, double gamma, std::string *written, std::string *error) {
  Quantiser q;
  if (BuildQuantiser(&q, gamma, 8) != 0) {
    *error = "no such gamma";
    return -1;
  }
  const int outwidth = right != nullptr ? 2 * width : width;
  const size_t stride = 3 * (size_t)outwidth;
  std::vector<unsigned char> samples;
  try {
    samples.resize(stride * (size_t)height);
  } catch (const std::bad_alloc &) {
    *error = "not enough memory";
    return -1;
  }
  QuantisePicture(q, left, width, height, samples.data(), stride, 0);
  if (right != nullptr) QuantisePicture(q, right, width, height, samples.data(), stride, width);

  const std::string first = ScreenshotName(moviepath, frame, 1);
  PendingFile file;
  if (CreatePendingFile(first, &file) != 0) {
    *error = strerror(errno);
    return -1;
  }
  if (WritePng(file.fd, outwidth, height, 8, samples.data(), stride, error) != 0) {
    DiscardPendingFile(&file);
    return -1;
  }
  if (ClosePendingFile(&file) != 0) {
    *error = strerror(errno);
    DiscardPendingFile(&file);
    return -1;
  }
  // The first free name takes the finished file.
  for (int attempt = 1; attempt <= SHOT_ATTEMPTS; attempt++) {
    const std::string name = ScreenshotName(moviepath, frame, attempt);
    if (CommitPendingFileNoReplace(&file, name) == 0) {
      *written = name;
      return 0;
    }
    if (errno != EEXIST) {
      *error = strerror(errno);
      DiscardPendingFile(&file);
      return -1;
    }
  }
  *error = "every name up to " + ScreenshotName(moviepath, frame, SHOT_ATTEMPTS) + " is taken";
  DiscardPendingFile(&file);
  return -1;
}
