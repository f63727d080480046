// The movie file: a 12-byte header, then frames of `eyes` picture records,
// each record two doubles (maxLum, logAv) and width x height RGBE pixels,
// bottom row first. Fields are in the writing machine's byte order; a
// reader on a machine of the other order swaps them.
#ifndef HALVORN_MOVIE_H
#define HALVORN_MOVIE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
constexpr int MOVIE_HEADER_SIZE = 12;
// The sides a player accepts: 16 to 31999 pixels.
constexpr int MOVIE_MIN_SIDE = 16;
constexpr int MOVIE_MAX_SIDE = 31999;
// The two statistics in front of a record's pixels.
constexpr int RECORD_STATISTICS_SIZE = 16;

// Bytes of one picture record of width x height pixels.
inline uint64_t PictureRecordSize(int width, int height) {
  return RECORD_STATISTICS_SIZE + 4 * (uint64_t)width * (uint64_t)height;
}

// Picture records that make up one frame: at least one, `eyes` otherwise.
inline int RecordsPerFrame(const MovieHeader &header) { return header.eyes > 1 ? header.eyes : 1; }

// Bytes of one frame: every picture record of it.
inline uint64_t MovieFrameSize(const MovieHeader &header) {
  return (uint64_t)RecordsPerFrame(header) * PictureRecordSize(header.width, header.height);
}

// Where frame k starts in the file.
inline uint64_t MovieFrameOffset(const MovieHeader &header, int64_t k) {
  return MOVIE_HEADER_SIZE + (uint64_t)k * MovieFrameSize(header);
}

// Byte-order reversal of the numbers a movie holds.
uint16_t SwapBytes16(uint16_t v);
uint32_t SwapBytes32(uint32_t v);
void SwapDouble(double *value);
// Width, height and frame count of a header written in the other byte order.
void SwapMovieHeader(MovieHeader *header);

// Reads the 12 header bytes from the stream's position and swaps them when
// `byteswap` is set. Returns 1, or 0 when the stream ends first.
int ReadMovieHeader(FILE *file, MovieHeader *header, int byteswap);

// The checks a header must pass before a movie is played, in the order the
// player makes them. Each returns the player's message, or null when the
// header passes.
const char *CheckMovieWidth(const MovieHeader &header);
const char *CheckMovieHeight(const MovieHeader &header);
const char *CheckMovieFrames(const MovieHeader &header);
const char *CheckMovieFormat(const MovieHeader &header);
// The first failing check of the four, or null.
const char *CheckMovieHeader(const MovieHeader &header);

// Reads a record's two statistics from the stream's position, swapping them
// when `byteswap` is set. Returns how many were read: 2, or 1 or 0 when the
// stream ends inside them.
int ReadRecordStatistics(FILE *file, double *maxLum, double *logAv, int byteswap);

// Writes the header, or one picture record (statistics, then the pixels as
// they are, already bottom row first). Return 0, or -1 when a write failed.
int WriteMovieHeader(FILE *file, const MovieHeader &header);
int WriteMovieRecord(FILE *file, double maxLum, double logAv, const unsigned char *rgbe, size_t npixels);

#endif
