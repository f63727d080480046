// The movie being written: its header, its stream and the byte count, and
// the writes that end the run when the stream refuses them.
#include <cstdlib>

#include "builder.h"

MovieHeader header;
FILE *outfp;
uint64_t nbytes;

void WriteFailed() {
  fprintf(stderr, "Failed to write the movie file\n");
  exit(1);
}

void WriteHeader() {
  if (WriteMovieHeader(outfp, header) != 0) WriteFailed();
  nbytes += MOVIE_HEADER_SIZE;
}

int WriteRecord(double maxLum, double logAv, const unsigned char *rgbe, size_t npixels) {
  if (WriteMovieRecord(outfp, maxLum, logAv, rgbe, npixels) != 0) return -1;
  nbytes += RECORD_STATISTICS_SIZE + 4 * (uint64_t)npixels;
  return 0;
}
