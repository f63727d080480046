// The histogram of a picture's scene log-luminance in quarter stops, from
// the raw pixels of the frame shown, shared out among the worker threads.
#include <cmath>
#include <cstring>
#include <mutex>

#include "inspect.h"
#include "pool.h"
#include "rgbe.h"

namespace {

constexpr int kExponentBias = 1023;
constexpr uint64_t kMantissaMask = ((uint64_t)1 << 52) - 1;

uint64_t Bits(double x) {
  uint64_t b;
  memcpy(&b, &x, sizeof b);
  return b;
}

// The quarter-stop boundaries inside an octave, 2^(1/4), 2^(1/2) and
// 2^(3/4), as the mantissa fields of the doubles nearest them: a number's
// quarter within its octave is the count of these its mantissa reaches.
uint64_t QuarterBound(int q) { return Bits(std::pow(2.0, q / 4.0)) & kMantissaMask; }
const uint64_t quarter_bounds[3] = {QuarterBound(1), QuarterBound(2), QuarterBound(3)};

// Rows of the sampling grid counted in one run on a thread.
constexpr size_t kRowGrain = 16;

}  // namespace

int HistogramBin(double luminance) {
  if (!(luminance > 0.0)) return 0;
  const uint64_t b = Bits(luminance);
  const int exponent = (int)((b >> 52) & 0x7ff);
  if (exponent == 0) return 0;  // far below the lowest bin
  if (exponent == 0x7ff) return HISTOGRAM_BINS - 1;
  const uint64_t mantissa = b & kMantissaMask;
  const int quarter = (mantissa >= quarter_bounds[0]) + (mantissa >= quarter_bounds[1]) +
                      (mantissa >= quarter_bounds[2]);
  const long bin = (long)(exponent - kExponentBias - HISTOGRAM_LOWEST_STOP) * HISTOGRAM_BINS_PER_STOP + quarter;
  if (bin < 0) return 0;
  if (bin >= HISTOGRAM_BINS) return HISTOGRAM_BINS - 1;
  return (int)bin;
}

int HistogramStep(int width, int height) {
  int step = 1;
  while ((size_t)((width + step - 1) / step) * (size_t)((height + step - 1) / step) > HISTOGRAM_MAX_SAMPLES) step++;
  return step;
}

void ComputeHistogram(WorkerPool *pool, const unsigned char *rgbe, int width, int height, Histogram *histogram) {
  const int step = HistogramStep(width, height);
  memset(histogram->counts, 0, sizeof histogram->counts);
  histogram->step = step;
  const size_t rows = (size_t)((height + step - 1) / step);
  std::mutex lock;
  ParallelChunks(pool, rows, kRowGrain, [&](size_t first, size_t end) {
    uint64_t counts[HISTOGRAM_BINS] = {};
    for (size_t r = first; r < end; r++) {
      const unsigned char *row = rgbe + 4 * (r * (size_t)step) * (size_t)width;
      for (int x = 0; x < width; x += step) {
        const unsigned char *p = row + 4 * (size_t)x;
        // The scene luminance as the decoder gives it (without exposure).
        double luminance = 1e-6;
        if (p[3] != 0) {
          const float f = RGBE_E[p[3]];
          const float R = p[0] * f, G = p[1] * f, B = p[2] * f;
          luminance = (0.2126 * (double)R + 0.7152 * (double)G) + 0.0722 * (double)B;
        }
        counts[HistogramBin(luminance)]++;
      }
    }
    std::lock_guard<std::mutex> hold(lock);
    for (int b = 0; b < HISTOGRAM_BINS; b++) histogram->counts[b] += counts[b];
  });
  uint64_t total = 0;
  for (int b = 0; b < HISTOGRAM_BINS; b++) total += histogram->counts[b];
  histogram->total = total;
}
