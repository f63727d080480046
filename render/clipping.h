// The clipping view: the picture as it is drawn, with the pixels that the
// screen shows at full white or as black in two false colours.
#ifndef HALVORN_CLIPPING_H
#define HALVORN_CLIPPING_H

#include <cstddef>
#include <cstdint>

class WorkerPool;

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

#endif
