// The movie builder's shared state and its picture conversion.
#ifndef HALVORN_HALVPACK_H
#define HALVORN_HALVPACK_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "movie.h"

extern MovieHeader header;  // the size every picture must have
extern FILE *outfp;         // the movie file, or stdout
extern uint64_t nbytes;     // bytes written to outfp so far

// Converts one picture into a picture record appended to outfp. Returns 1
// when the record was written, 0 when nothing was written. Ends the process
// with status 1 when the picture has another size than the movie or its
// scene cannot be allocated.
int ProcessImage(const char *name);

// Reads, checks and encodes one picture (see ProcessImage). Returns 1 when
// the RGBE image holds the encoded picture and the statistics are set, 0
// when the picture could not be read.
int LoadScene(const char *name);

// Writes bytes to the movie and counts them; a failed write ends the run
// with "Failed to write the movie file" and status 1.
void WriteMovie(const void *data, size_t size);

// Takes the first `count` white-space-delimited words of a file-list line
// into names[0..count-1]; a word the line does not have leaves its name as
// it was.
void TakeNames(const char *line, std::string *names, int count);

#endif
