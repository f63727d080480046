// The movie being written: its header and records go to its stream, and
// every byte that went out is counted.
#include "builder.h"

int WriteHeader(MovieWriter *movie) {
  if (WriteMovieHeader(movie->file, movie->header) != 0) return -1;
  movie->bytes += MOVIE_HEADER_SIZE;
  return 0;
}

int WriteRecord(MovieWriter *movie, double maxLum, double logAv, const unsigned char *rgbe, size_t npixels) {
  if (WriteMovieRecord(movie->file, maxLum, logAv, rgbe, npixels) != 0) return -1;
  movie->bytes += RECORD_STATISTICS_SIZE + 4 * (uint64_t)npixels;
  return 0;
}
