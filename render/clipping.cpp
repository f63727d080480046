// The clipping view: the picture as it is drawn, with the pixels that the
// screen shows at full white or as black in two false colours.
#include <atomic>

#include "clipping.h"
#include "render.h"
#include "pool.h"

namespace {

// The view of pixels [begin, end): `copy` keeps a pixel as it is drawn,
// `paint` gives it a false colour; the classes are counted.
template <class Copy, class Paint>
void ViewRange(const float *picture, size_t begin, size_t end, Copy copy, Paint paint, ClipCounts *counts) {
  for (size_t k = begin; k < end; k++) {
    const ClipClass c = ClassifyShown(picture + 3 * k);
    if (c == CLIP_NONE) {
      copy(k);
    } else {
      paint(k, c);
      if (c == CLIP_WHITE)
        counts->white++;
      else
        counts->black++;
    }
  }
}

// Runs the view over n pixels on the pool and adds up the counts.
template <class Range>
ClipCounts ShareOut(WorkerPool *pool, size_t n, Range range) {
  std::atomic<uint64_t> white{0}, black{0};
  ParallelChunks(pool, n, PIXEL_GRAIN, [&](size_t begin, size_t end) {
    ClipCounts part;
    range(begin, end, &part);
    white += part.white;
    black += part.black;
  });
  ClipCounts total;
  total.white = white;
  total.black = black;
  return total;
}

}  // namespace

ClipClass ClassifyShown(const float *rgb) {
  if (rgb[0] >= 1.0f || rgb[1] >= 1.0f || rgb[2] >= 1.0f) return CLIP_WHITE;
  // Written so that NaN, which the screen shows as 0, counts as black.
  if (!((double)rgb[0] >= CLIP_HALF_STEP) && !((double)rgb[1] >= CLIP_HALF_STEP) &&
      !((double)rgb[2] >= CLIP_HALF_STEP))
    return CLIP_BLACK;
  return CLIP_NONE;
}

ClipCounts ClippingViewBytes(WorkerPool *pool, const float *picture, const unsigned char *bytes, size_t n,
                             unsigned char *view) {
  return ShareOut(pool, n, [=](size_t begin, size_t end, ClipCounts *counts) {
    ViewRange(
        picture, begin, end,
        [=](size_t k) {
          for (size_t c = 0; c < DISPLAY_PIXEL_BYTES; c++)
            view[DISPLAY_PIXEL_BYTES * k + c] = bytes[DISPLAY_PIXEL_BYTES * k + c];
        },
        [=](size_t k, ClipClass cls) {
          const unsigned char *colour = cls == CLIP_WHITE ? CLIP_WHITE_COLOUR : CLIP_BLACK_COLOUR;
          unsigned char *p = view + DISPLAY_PIXEL_BYTES * k;
          p[0] = colour[2];
          p[1] = colour[1];
          p[2] = colour[0];
          p[3] = 255;
        },
        counts);
  });
}

ClipCounts ClippingViewFloats(WorkerPool *pool, const float *picture, size_t n, float *view) {
  return ShareOut(pool, n, [=](size_t begin, size_t end, ClipCounts *counts) {
    ViewRange(
        picture, begin, end,
        [=](size_t k) {
          for (int c = 0; c < 3; c++) view[3 * k + c] = picture[3 * k + c];
        },
        [=](size_t k, ClipClass cls) {
          // The byte values as floats that GL turns back into those bytes.
          const unsigned char *colour = cls == CLIP_WHITE ? CLIP_WHITE_COLOUR : CLIP_BLACK_COLOUR;
          for (int c = 0; c < 3; c++) view[3 * k + c] = colour[c] / 255.0f;
        },
        counts);
  });
}
