// Small helpers shared by the builder and the player: image allocation, the
// wall clock, opening regular files and the file-list line reader.
#ifndef HALVORN_UTILITY_H
#define HALVORN_UTILITY_H

#include <cstdio>

// width x height pixels of three floats, uninitialised; null when the size
// is not positive or memory is short. Sizes are computed in size_t.
float *CreateFloatmap(int width, int height);
void DestroyFloatmap(float *image);

// width x height pixels of four bytes, uninitialised; null as above.
unsigned char *CreateRGBEmap(int width, int height);

// Opens a file for reading only when it is a regular file: a FIFO would
// block the open, a device such as /dev/zero never ends, and the programs
// seek in or re-read what they open. Returns null with errno set; a file
// that is not regular gives EINVAL.
FILE *OpenRegularFile(const char *name, const char *mode);

// Wall-clock time in seconds.
double GetRunTime();

// Reads one line of at most `limit` characters into `buffer` (which holds
// limit + 1). A line ends at LF, CR, or CR LF; the end is not stored.
// Returns 1 when a line was read, 0 at the end of the stream (text after
// the last line end is not a line).
int ReadLine(FILE *stream, char *buffer, int limit);

#endif
