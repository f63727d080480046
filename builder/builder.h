// The movie builder's core: picture names from the file list, reading a
// picture, its scene statistics and encoding, and appending its record to
// the movie. The program (halvpack.cpp) parses the command line and drives it.
#ifndef HALVORN_BUILDER_H
#define HALVORN_BUILDER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "movie.h"

// The movie being written (movie_writer.cpp).
extern MovieHeader header;  // the size every picture must have
extern FILE *outfp;         // the movie file, or stdout
extern uint64_t nbytes;     // bytes written to outfp so far

// Write the header, or a picture record, to the movie and count the bytes;
// a failed write ends the run with "Failed to write the movie file" and
// status 1.
void WriteHeader();
void WriteRecord(double maxLum, double logAv, const unsigned char *rgbe, size_t npixels);
// Ends the run after a failed write: message, status 1.
[[noreturn]] void WriteFailed();

// Takes the first `count` white-space-delimited words of a file-list line
// into names[0..count-1]; a word the line does not have leaves its name as
// it was (list_names.cpp).
void TakeNames(const char *line, std::string *names, int count);

// Outcome of reading a picture (read_picture.cpp).
enum PictureStatus {
  PICTURE_READ,        // the scene holds the picture
  PICTURE_FAILED,      // unreadable: the codec has said why; the run goes on
  PICTURE_WRONG_SIZE,  // another size than the movie's: the run stops
  PICTURE_NO_MEMORY,   // no room for the scene: the run stops
};

struct FreeDeleter {
  void operator()(void *p) const;
};
using FloatImage = std::unique_ptr<float[], FreeDeleter>;
using RGBEImage = std::unique_ptr<unsigned char[], FreeDeleter>;

// Reads the picture on an open stream: its header, a size check against
// `header` before any pixel room is taken, then its pixels into `scene`
// (red, green, blue floats in the picture's row order, top row first).
PictureStatus ReadPicture(FILE *file, FloatImage *scene);

// Scene statistics and the encoding of a decoded picture (encode.cpp).
// Each thread that encodes keeps a table of its own.
struct ColourTable;
struct ColourTableDeleter {
  void operator()(ColourTable *table) const;
};
using ColourTablePtr = std::unique_ptr<ColourTable, ColourTableDeleter>;
ColourTablePtr CreateColourTable();
// Fills `rgbe` (4 bytes a pixel, bottom row first, as the movie stores it)
// from `scene` (top row first) and computes the scene's maximum and
// log-average luminance over the pixels in the picture's order.
void EncodeScene(ColourTable *table, const float *scene, int width, int height, unsigned char *rgbe,
                 double *maxLum, double *logAv);

// Converts one picture into a picture record appended to outfp
// (process_image.cpp). Returns 1 when the record was written, 0 when
// nothing was written. Ends the process with status 1 when the picture has
// another size than the movie or its scene cannot be allocated.
int ProcessImage(const char *name);

#endif
