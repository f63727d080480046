// The screenshot key: what the window shows of the current frame, both eyes
// of a pair side by side and no overlay, written by the export core as an
// 8-bit PNG with the display gamma baked in.
#include <string>

#include "exporter.h"
#include "view.h"

void TakeScreenshot(const View &v) {
  const Session &s = v.session;
  std::string written, error;
  const float *right = ShownEyes(s) == 2 ? s.shown->out[1] : nullptr;
  if (WriteScreenshot(v.moviepath, s.currentframe, s.shown->out[0], right, s.movie.header.width,
                      s.movie.header.height, DISPLAY_GAMMA, &written, &error) == 0)
    fprintf(stderr, "%s\n", written.c_str());
  else
    fprintf(stderr, "Failed to write the screenshot: %s\n", error.c_str());
}
