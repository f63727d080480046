// The screenshot key: what the window shows of the current frame, both eyes
// of a pair side by side and no overlay, written by the export core as an
// 8-bit PNG with the display gamma baked in.
#include <string>

#include "exporter.h"
#include "view.h"

namespace {
const char *shotmovie = "movie";  // the movie's path, for the shot's name
}  // namespace

void SetScreenshotMovie(const char *path) { shotmovie = path; }

void TakeScreenshot() {
  std::string written, error;
  const float *right = showneyes == 2 ? out_img_right : nullptr;
  if (WriteScreenshot(shotmovie, currentframe, out_img, right, header.width, header.height, DISPLAY_GAMMA, &written,
                      &error) == 0)
    fprintf(stderr, "%s\n", written.c_str());
  else
    fprintf(stderr, "Failed to write the screenshot: %s\n", error.c_str());
}
