// Look-ahead adaptation over the statistics cache: cuts, segments and the
// symmetric windows inside them, and the player's movie that the tone
// mapper asks for its normaliser and peak.
#include "lookahead.h"

#include <climits>
#include <cmath>
#include <mutex>


namespace {

// A cut: the log-averages of two neighbouring good frames differ by more
// than one stop.
const double cut_threshold = log(2.0);

// The good frame before `frame`, or -1. A bad record's answer is its own
// predecessor's, so a run of bad records is walked once and remembered.
int64_t PreviousGood(StatisticsCache *cache, int64_t frame, int eye) {
  int64_t j = frame - 1;
  // Back to a good frame, or to a record that knows the answer already.
  while (j >= 0) {
    const CachedRecord &r = GetCachedRecord(cache, j, eye);
    if (r.state == 1) break;
    if (r.previous != -2) {
      j = r.previous;
      break;
    }
    j--;
  }
  // Every bad record passed on the way has the same answer.
  for (int64_t k = frame - 1; k > j; k--) {
    const CachedRecord &r = GetCachedRecord(cache, k, eye);
    if (r.state == 1 || r.previous != -2) break;
    RememberPreviousGood(cache, k, eye, j);
  }
  return j;
}

}  // namespace

int ParseLookAheadRadius(const char *text, int *radius) {
  if (text == nullptr || *text == 0) return 0;
  long long n = 0;
  for (const char *p = text; *p; p++) {
    if (*p < '0' || *p > '9') return 0;
    n = 10 * n + (*p - '0');
    if (n > INT_MAX) return 0;
  }
  *radius = (int)n;
  return 1;
}

int IsSegmentStart(StatisticsCache *cache, int64_t frame, int eye) {
  if (frame == 0) return 1;
  const CachedRecord &record = GetCachedRecord(cache, frame, eye);
  if (record.state != 1) return 0;
  const double s = record.s;
  const int64_t j = PreviousGood(cache, frame, eye);
  if (j < 0) return 0;  // the first good frame: its segment began at frame 0
  return fabs(s - GetCachedRecord(cache, j, eye).s) > cut_threshold;
}

int LookAheadValues(StatisticsCache *cache, int64_t frame, int eye, int radius, double *logAvg, double *peak) {
  *logAvg = *peak = NAN;
  if (frame < 0 || frame >= cache->frames || eye < 0 || eye >= cache->eyes || radius < 0) return 0;
  const int64_t R = radius, last = cache->frames - 1;
  // k - a, as far as it is below R: the nearest segment start at or before k.
  int64_t before = R;
  for (int64_t d = 0; d < R; d++)
    if (IsSegmentStart(cache, frame - d, eye)) {
      before = d;
      break;
    }
  // b - k, as far as it is below R: the segment ends before the next start
  // or at the last frame.
  int64_t after = R;
  for (int64_t d = 1; d <= R; d++)
    if (frame + d > last || IsSegmentStart(cache, frame + d, eye)) {
      after = d - 1;
      break;
    }
  const int64_t r = before < after ? before : after;
  double S = 0.0, M = 0.0;
  int64_t n = 0;
  for (int64_t j = frame - r; j <= frame + r; j++) {
    const CachedRecord &record = GetCachedRecord(cache, j, eye);
    if (record.state != 1) continue;
    S += record.s;
    M += record.m;
    n++;
  }
  if (n == 0) return 0;
  *logAvg = exp(S / (double)n);
  *peak = exp(M / (double)n);
  return 1;
}

void LookAheadNormaliser(StatisticsCache *cache, int eye, int64_t frame, int radius, double *avLum, double *peak) {
  if (cache == nullptr) return;
  std::lock_guard<std::mutex> hold(cache->lock);
  double adapted, adaptedpeak;
  if (LookAheadValues(cache, frame, eye, radius, &adapted, &adaptedpeak)) {
    *avLum = adapted;
    *peak = adaptedpeak;
  }
}

int LookAheadCovers(StatisticsCache *cache, int eye, int64_t frame, int radius) {
  if (cache == nullptr) return 0;
  std::lock_guard<std::mutex> hold(cache->lock);
  double adapted, adaptedpeak;
  return LookAheadValues(cache, frame, eye, radius, &adapted, &adaptedpeak);
}
