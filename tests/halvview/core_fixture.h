// Shared set-up for the tests of the player's GL-free core: a session in
// its start state with the buffers that start-up allocates, small movie
// files written on the fly, and the conversion stages run on a session's
// frame shown.
#ifndef HALVORN_TESTS_HALVVIEW_CORE_FIXTURE_H
#define HALVORN_TESTS_HALVVIEW_CORE_FIXTURE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session.h"

// A header of a width x height movie with `eyes` pictures per frame and
// `nframes` frames.
MovieHeader TestHeader(int width, int height, int eyes, int nframes);

// One picture record as it lies in a movie file.
struct Record {
  double maxLum = 1.0;
  double logAv = 1.0;
  std::vector<uint8_t> pixels;  // 4 bytes a pixel, bottom row first
};

// A session in its start state for a width x height movie with `eyes`
// pictures per frame and `nframes` frames, without a file, its frame shown
// allocated for two eyes. The spare room of the luminance map (beyond
// width x height) is filled with NaN, so that a computation that lets it
// leak into a pixel shows; the pictures shown are zero.
std::unique_ptr<Session> SetUpPlayer(int width, int height, int eyes = 1, int nframes = 1);
// Removes the movies WriteMovie has written in this process.
void RemoveWrittenMovies();

// Writes a movie: the header with the given fields, then the records back
// to back (their doubles byte-swapped when `swap_doubles`), then drops the
// last `cut` bytes. Returns the path.
std::string WriteMovie(const std::string &name, int width, int height, int eyes, int nframes,
                       const std::vector<Record> &records, bool swap_doubles = false,
                       size_t cut = 0);

// A session playing the movie at `path`, with the header's fields as given
// (byteswap: the movie's doubles are swapped). Null when it cannot be opened.
std::unique_ptr<Session> OpenMovie(const std::string &path, int width, int height, int eyes, int nframes,
                                   int byteswap = 0);

// The conversion settings of the session's frame shown, and the stages of
// a conversion run on its buffers (the left eye's picture).
ConversionSettings Conversion(Session *session);
void LoadFrame(Session *session);                                     // decoding
void Tonemapping(Session *session, double maxLum, double logAvg);     // the left eye's tone mapping
void PixelOutTmo(Session *session);                                   // colour from the mapped luminance
void PixelOut(Session *session);                                      // the plain exposure

// A record whose every pixel decodes to exactly (frame + 1, eye + 1, 5) on
// the plain path at exposure 0, and whose statistics name the frame and
// the eye: maxLum = 1000 + 10 frame + eye, logAv = 1 + frame + eye / 4.
Record MarkedRecord(int frame, int eye, int width, int height);

// Records of a whole movie of marked frames, eye by eye.
std::vector<Record> MarkedMovie(int nframes, int eyes, int width, int height);

// The frame and eye that a picture of `npixels` pixels shows, read back
// from a marked record's first pixel; -1 when the picture is not uniform.
int ShownFrame(const float *out, size_t npixels);
int ShownEye(const float *out, size_t npixels);

// Thrown by a test's step when the core reports a failed read.
struct ReadFailed {};

class CoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    session.reset();
    RemoveWrittenMovies();
  }
  // The picture shown of an eye, and what it shows of a marked movie.
  float *Out(int eye = 0) const { return session->shown->out[eye]; }
  int ShownFrame(int eye = 0) const { return ::ShownFrame(Out(eye), session->movie.npixels); }
  int ShownEye(int eye = 0) const { return ::ShownEye(Out(eye), session->movie.npixels); }

  std::unique_ptr<Session> session;
};

#endif
