// Shared set-up for the tests of the player's GL-free core: the globals in
// their start state, the buffers that start-up allocates, and small movie
// files written on the fly.
#ifndef HALVORN_TESTS_HALVVIEW_CORE_FIXTURE_H
#define HALVORN_TESTS_HALVVIEW_CORE_FIXTURE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "player.h"

// One picture record as it lies in a movie file.
struct Record {
  double maxLum = 1.0;
  double logAv = 1.0;
  std::vector<uint8_t> pixels;  // 4 bytes a pixel, bottom row first
};

// Puts every global the core reads back to its start value and allocates
// the player's buffers for a width x height movie with `eyes` pictures per
// frame and `nframes` frames. The spare room of the luminance map (beyond
// width x height) is filled with NaN, so that a computation that lets it
// leak into a pixel shows.
void SetUpPlayer(int width, int height, int eyes = 1, int nframes = 1);
// Removes the movies WriteMovie has written in this process.
void RemoveWrittenMovies();
// Frees the buffers and closes the movie, if one is open.
void TearDownPlayer();

// Writes a movie: the header with the given fields, then the records back
// to back (their doubles byte-swapped when `swap_doubles`), then drops the
// last `cut` bytes. Returns the path.
std::string WriteMovie(const std::string &name, int width, int height, int eyes, int nframes,
                       const std::vector<Record> &records, bool swap_doubles = false,
                       size_t cut = 0);

// Opens a movie for the player (fptr) and sets up the player for it, with
// the header's fields as given.
void OpenMovie(const std::string &path, int width, int height, int eyes, int nframes);

// A record whose every pixel decodes to exactly (frame + 1, eye + 1, 5) on
// the plain path at exposure 0, and whose statistics name the frame and
// the eye: maxLum = 1000 + 10 frame + eye, logAv = 1 + frame + eye / 4.
Record MarkedRecord(int frame, int eye, int width, int height);

// Records of a whole movie of marked frames, eye by eye.
std::vector<Record> MarkedMovie(int nframes, int eyes, int width, int height);

// The frame and eye that out_img (or another output) shows, read back from
// a marked record's first pixel; -1 when the picture is not uniform.
int ShownFrame(const float *out);
int ShownEye(const float *out);

// Thrown by a test's step when the core reports a failed read.
struct ReadFailed {};

class CoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TearDownPlayer();
    RemoveWrittenMovies();
  }
};

#endif
