// Looking inside the pictures shown and moving through the movie: the
// pixel probe, the clipping view, the log-luminance histogram, seeking to
// any frame, and the playing modes. GL-free, like the rest of the core;
// the program draws what these compute.
#ifndef HALVORN_INSPECT_H
#define HALVORN_INSPECT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "player.h"

// ---- The pixel probe (probe.cpp) -------------------------------------------

// The raw RGBE pixels of eye `eye` of the frame shown, bottom row first.
const unsigned char *ShownPixels(int eye);
// The picture shown of eye `eye` (the floats that are drawn).
const float *ShownPicture(int eye);

// A window pixel located in the pictures drawn: the eye and the pixel, x
// from the left and y from the top of that eye's picture.
struct PictureSpot {
  int inside;  // 0 when the window pixel shows no picture
  int eye;
  int x, y;
};
// Where the picture drawn (or the right eye's, drawn next to it) lies:
// the window column and row (counted from the bottom) of its lower-left
// pixel, for the window's size and the raster position the display uses.
void PictureOrigin(int eye, int *column, int *row);
// The picture pixel under window pixel (wx, wy), wy counted from the top
// as GLUT gives it, in a window `window_height` pixels high.
PictureSpot LocatePicturePixel(int wx, int wy, int window_height);

// What the probe shows of a pixel: its scene colour as decoded (before
// exposure), that colour's luminance, and the value drawn on the screen.
struct ProbeValues {
  float scene[3];
  double luminance;
  float shown[3];
};
ProbeValues ProbePixel(const PictureSpot &spot);
// The probe's line of the information overlay.
std::string ProbeText(const PictureSpot &spot, const ProbeValues &values);

// ---- The clipping view (clipping.cpp) --------------------------------------

// How the screen shows a pixel: at full white in some component (a value of
// 1 or more), as black (every component below half an 8-bit step, NaN
// too), or otherwise.
enum ClipClass { CLIP_NONE = 0, CLIP_WHITE = 1, CLIP_BLACK = 2 };
constexpr double CLIP_HALF_STEP = 0.5 / 255.0;
ClipClass ClassifyShown(const float *rgb);

// The false colours of the view, as bytes.
constexpr unsigned char CLIP_WHITE_COLOUR[3] = {255, 0, 255};
constexpr unsigned char CLIP_BLACK_COLOUR[3] = {0, 128, 255};

// Pixels of each class in a view.
struct ClipCounts {
  uint64_t white = 0, black = 0;
};
// The view of n pixels: the picture as it is drawn (the display bytes, in
// their blue, green, red, alpha order, or the floats when the window takes
// floats), a clipped pixel in its false colour. Shared out among the pool's
// threads.
ClipCounts ClippingViewBytes(WorkerPool *pool, const float *picture, const unsigned char *bytes, size_t n,
                             unsigned char *view);
ClipCounts ClippingViewFloats(WorkerPool *pool, const float *picture, size_t n, float *view);

// ---- The histogram (histogram.cpp) -----------------------------------------

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

// ---- Seeking (seek.cpp) ----------------------------------------------------

// Frames one press of '[' or ']' moves.
constexpr int SEEK_STEP = 10;
// Shows `frame` (clamped to the movie's frames), read directly at its place
// in the file, 12 + frame x frame size. Nothing happens for the frame shown.
// The causal adaptation moves on as for any frame shown; with autoplay the
// next frame is prepared ahead from there. A frame that cannot be read
// leaves everything as it was and says so on stderr; returns 0 then, else 1.
// With -d, prints the frame sought.
int SeekToFrame(FILE *file, int frame);
// The frame under column x of a timeline `width` pixels long, and the
// columns from the left that show frames up to `frame` as played.
int TimelineFrame(int x, int width, int nframes);
int TimelineFilled(int frame, int width, int nframes);

// ---- The playing modes (playmode.cpp) --------------------------------------

// 'l': loop, then play once, then ping-pong, then loop again.
void CycleLoopMode();
// 'r': the other playing direction.
void ReversePlaying();
// The overlay's line: the mode and the direction.
std::string PlayModeText();

#endif
