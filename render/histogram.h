// The histogram of a picture's scene log-luminance in quarter stops, made
// from a record's raw pixels.
#ifndef HALVORN_HISTOGRAM_H
#define HALVORN_HISTOGRAM_H

#include <cstddef>
#include <cstdint>

class WorkerPool;

// Bins of a quarter stop of scene luminance, from 2^-20 to 2^20; a
// luminance outside goes to the end bin on its side.
constexpr int HISTOGRAM_BINS_PER_STOP = 4;
constexpr int HISTOGRAM_LOWEST_STOP = -20;
constexpr int HISTOGRAM_BINS = 160;
// At most this many pixels are counted: a larger picture is sampled on a
// regular grid (every step-th pixel of every step-th row).
constexpr size_t HISTOGRAM_MAX_SAMPLES = 4096;

struct Histogram {
  uint64_t counts[HISTOGRAM_BINS];
  uint64_t total;  // pixels counted
  int step;        // the sampling grid's spacing
};

// The bin of a luminance: floor(4 log2 L) from the lowest stop on, clamped
// to the bins; 0 for zero, negative or NaN.
int HistogramBin(double luminance);
// The grid spacing for a picture: the smallest that counts at most
// HISTOGRAM_MAX_SAMPLES pixels.
int HistogramStep(int width, int height);
// The histogram of a record's raw pixels (bottom row first), each pixel's
// scene luminance as the decoder gives it; rows shared out among the
// pool's threads. Same counts with any pool.
void ComputeHistogram(WorkerPool *pool, const unsigned char *rgbe, int width, int height, Histogram *histogram);

#endif
