// The movie file: a 12-byte header, then frames of `eyes` picture records,
// each record two doubles (maxLum, logAv) and width x height RGBE pixels,
// bottom row first. Fields are in the writing machine's byte order.
#ifndef HALVORN_MOVIE_H
#define HALVORN_MOVIE_H

#include <cstddef>
#include <cstdint>

struct MovieHeader {
  int16_t width;
  int16_t height;
  uint8_t format;  // always 48
  uint8_t eyes;    // pictures per frame: 1, or 2 for a stereo pair
  uint8_t pad[2];
  int32_t nframes;
};
static_assert(sizeof(MovieHeader) == 12, "the movie header is 12 bytes on disk");
static_assert(offsetof(MovieHeader, nframes) == 8, "nframes lies at byte 8");

constexpr uint8_t MOVIE_FORMAT = 48;

// Bytes of one picture record of width x height pixels.
inline uint64_t PictureRecordSize(int width, int height) {
  return 16 + 4 * (uint64_t)width * (uint64_t)height;
}

#endif
