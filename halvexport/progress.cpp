// The progress line on a terminal: frames done of the total, the rate and
// the time left, rewritten in place a few times a second.
#include "progress.h"

#include <cstdio>

#include "utility.h"

namespace {

bool shown = false;         // a line is on the terminal now
bool enabled = false;
double started = 0.0;
double lastshown = -1.0;

// Seconds as m:ss, or h:mm:ss from an hour on.
std::string Clock(double seconds) {
  const long s = (long)(seconds + 0.5);
  char text[48];
  if (s >= 3600)
    snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

std::string ProgressText(int64_t done, int64_t total, double seconds) {
  char text[160];
  const double rate = seconds > 0.0 ? (double)done / seconds : 0.0;
  const int percent = total > 0 ? (int)(100 * done / total) : 100;
  std::string left = "-:--";
  if (rate > 0.0) left = Clock((double)(total - done) / rate);
  snprintf(text, sizeof text, "Frame %lld of %lld (%d%%), %.1f frames/s, %s left", (long long)done,
           (long long)total, percent, rate, left.c_str());
  return text;
}

void StartProgress(bool on) {
  enabled = on;
  started = GetRunTime();
  lastshown = -1.0;
}

void ShowProgress(int64_t done, int64_t total) {
  if (!enabled) return;
  const double now = GetRunTime();
  // Four times a second, and the last frame always.
  if (done < total && lastshown >= 0.0 && now - lastshown < 0.25) return;
  lastshown = now;
  fprintf(stderr, "\r%s\033[K", ProgressText(done, total, now - started).c_str());
  fflush(stderr);
  shown = true;
}

void ClearProgress() {
  if (!shown) return;
  fputs("\r\033[K", stderr);
  shown = false;
}

void EndProgress() {
  if (!shown) return;
  fputc('\n', stderr);
  shown = false;
}
