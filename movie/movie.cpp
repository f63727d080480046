// Reading, checking, byte-swapping and writing the movie file's header and
// picture records.
#include "movie.h"

#include <cstring>

uint16_t SwapBytes16(uint16_t v) { return (uint16_t)((v >> 8) | (v << 8)); }

uint32_t SwapBytes32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

void SwapDouble(double *value) {
  uint64_t bits;
  memcpy(&bits, value, 8);
  bits = ((uint64_t)SwapBytes32((uint32_t)bits) << 32) | SwapBytes32((uint32_t)(bits >> 32));
  memcpy(value, &bits, 8);
}

void SwapMovieHeader(MovieHeader *header) {
  header->width = (int16_t)SwapBytes16((uint16_t)header->width);
  header->height = (int16_t)SwapBytes16((uint16_t)header->height);
  header->nframes = (int32_t)SwapBytes32((uint32_t)header->nframes);
}

int ReadMovieHeader(FILE *file, MovieHeader *header, int byteswap) {
  if (fread(header, MOVIE_HEADER_SIZE, 1, file) < 1) return 0;
  if (byteswap) SwapMovieHeader(header);
  return 1;
}

const char *CheckMovieWidth(const MovieHeader &header) {
  if (header.width > MOVIE_MAX_SIDE || header.width < MOVIE_MIN_SIDE) return "Movie width out of range (or bad header)";
  return nullptr;
}

const char *CheckMovieHeight(const MovieHeader &header) {
  if (header.height > MOVIE_MAX_SIDE || header.height < MOVIE_MIN_SIDE)
    return "Movie height out of range (or bad header)";
  return nullptr;
}

const char *CheckMovieFrames(const MovieHeader &header) {
  if (header.nframes < 1) return "No frames found, bad header";
  return nullptr;
}

const char *CheckMovieFormat(const MovieHeader &header) {
  if (header.format != MOVIE_FORMAT) return "Movie format should be 48, bad header";
  return nullptr;
}

const char *CheckMovieHeader(const MovieHeader &header) {
  const char *fault = CheckMovieWidth(header);
  if (!fault) fault = CheckMovieHeight(header);
  if (!fault) fault = CheckMovieFrames(header);
  if (!fault) fault = CheckMovieFormat(header);
  return fault;
}

int ReadRecordStatistics(FILE *file, double *maxLum, double *logAv, int byteswap) {
  if (fread(maxLum, 8, 1, file) < 1) return 0;
  if (fread(logAv, 8, 1, file) < 1) return 1;
  if (byteswap) {
    SwapDouble(maxLum);
    SwapDouble(logAv);
  }
  return 2;
}

int WriteMovieHeader(FILE *file, const MovieHeader &header) {
  return fwrite(&header, MOVIE_HEADER_SIZE, 1, file) == 1 ? 0 : -1;
}

int WriteMovieRecord(FILE *file, double maxLum, double logAv, const unsigned char *rgbe, size_t npixels) {
  const double statistics[2] = {maxLum, logAv};
  if (fwrite(statistics, 8, 2, file) != 2) return -1;
  if (fwrite(rgbe, 4, npixels, file) != npixels) return -1;
  return 0;
}
