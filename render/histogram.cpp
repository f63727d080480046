// The histogram of a picture's scene log-luminance in quarter stops, from
// the raw pixels of the frame shown, shared out among the worker threads.
#include <cmath>
#include <cstring>
#include <mutex>

#include "histogram.h"
#include "pool.h"
#include "render.h"
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

// The luminance of a pixel's mantissas, (0.2126 r + 0.7152 g) + 0.0722 b,
// from tables of the three products. The decoder's luminance is this times
// 2^(e - 136), exactly (a power of two changes no rounding in the normal
// range), so its bin is this one's moved by 4 (e - 136) bins.
struct Weights {
  double r[256], g[256], b[256];
};
Weights MakeWeights() {
  Weights w;
  for (int m = 0; m < 256; m++) {
    w.r[m] = 0.2126 * (double)m;
    w.g[m] = 0.7152 * (double)m;
    w.b[m] = 0.0722 * (double)m;
  }
  return w;
}
const Weights weights = MakeWeights();

// The bin of one raw pixel's scene luminance.
inline int PixelBin(const unsigned char *p, int unexposed_bin) {
  const int e = p[3];
  if (e == 0) return unexposed_bin;  // decoded as black
  // True black (m = 0) has exponent field 0: far below the lowest bin.
  const double m = (weights.r[p[0]] + weights.g[p[1]]) + weights.b[p[2]];
  const uint64_t b = Bits(m);
  const uint64_t mantissa = b & kMantissaMask;
  const int quarter = (mantissa >= quarter_bounds[0]) + (mantissa >= quarter_bounds[1]) +
                      (mantissa >= quarter_bounds[2]);
  const int bin = ((int)(b >> 52) - kExponentBias + e - 136 - HISTOGRAM_LOWEST_STOP) * HISTOGRAM_BINS_PER_STOP +
                  quarter;
  return bin < 0 ? 0 : bin >= HISTOGRAM_BINS ? HISTOGRAM_BINS - 1 : bin;
}

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
  const int unexposed_bin = HistogramBin(PLAYER_BLACK_LUMINANCE);
  std::mutex lock;
  ParallelChunks(pool, rows, kRowGrain, [&](size_t first, size_t end) {
    // Four sets of counts, taken in turn, so that pixels of one bin in a
    // row do not wait on each other's increments.
    uint64_t counts[4][HISTOGRAM_BINS] = {};
    for (size_t r = first; r < end; r++) {
      const unsigned char *row = rgbe + 4 * (r * (size_t)step) * (size_t)width;
      int x = 0;
      for (; x + 3 * step < width; x += 4 * step) {
        counts[0][PixelBin(row + 4 * (size_t)x, unexposed_bin)]++;
        counts[1][PixelBin(row + 4 * (size_t)(x + step), unexposed_bin)]++;
        counts[2][PixelBin(row + 4 * (size_t)(x + 2 * step), unexposed_bin)]++;
        counts[3][PixelBin(row + 4 * (size_t)(x + 3 * step), unexposed_bin)]++;
      }
      for (; x < width; x += step) counts[0][PixelBin(row + 4 * (size_t)x, unexposed_bin)]++;
    }
    std::lock_guard<std::mutex> hold(lock);
    for (int b = 0; b < HISTOGRAM_BINS; b++)
      histogram->counts[b] += (counts[0][b] + counts[1][b]) + (counts[2][b] + counts[3][b]);
  });
  uint64_t total = 0;
  for (int b = 0; b < HISTOGRAM_BINS; b++) total += histogram->counts[b];
  histogram->total = total;
}
