#include "core_fixture.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

MovieHeader TestHeader(int width, int height, int eyes, int nframes) {
  MovieHeader h{};
  h.width = (int16_t)width;
  h.height = (int16_t)height;
  h.format = MOVIE_FORMAT;
  h.eyes = (uint8_t)eyes;
  h.nframes = nframes;
  return h;
}

namespace {

// The frame shown, allocated as start-up allocates it, its spare luminance
// room NaN and its pictures zero.
void AllocateShown(Session *s) {
  ASSERT_EQ(AllocateShownFrame(s, 2), BUFFERS_ALLOCATED);
  const int W = s->movie.header.width, H = s->movie.header.height;
  const size_t n = s->movie.npixels;
  for (size_t i = 0; i < LuminanceMapSize(W, H); i++) s->scratch.lum[i] = std::numeric_limits<double>::quiet_NaN();
  memset(s->shown->out[0], 0, 12 * n);
  memset(s->shown->out[1], 0, 12 * n);
}

}  // namespace

std::unique_ptr<Session> SetUpPlayer(int width, int height, int eyes, int nframes) {
  std::unique_ptr<Session> s(new Session);
  AdoptSessionMovie(s.get(), -1, TestHeader(width, height, eyes, nframes), 0);
  AllocateShown(s.get());
  return s;
}

namespace {
// The movies written so far, for RemoveWrittenMovies.
std::vector<std::string> &WrittenMovies() {
  static std::vector<std::string> paths;
  return paths;
}
}  // namespace

void RemoveWrittenMovies() {
  for (const std::string &path : WrittenMovies()) unlink(path.c_str());
  WrittenMovies().clear();
}

namespace {

void PutDouble(FILE *f, double value, bool swap) {
  if (swap) SwapDouble(&value);
  fwrite(&value, 8, 1, f);
}

}  // namespace

std::string WriteMovie(const std::string &name, int width, int height, int eyes, int nframes,
                       const std::vector<Record> &records, bool swap_doubles, size_t cut) {
  // The process id keeps apart the same test run in parallel processes
  // (ctest -j runs each parameter of a test as a process of its own).
  const std::string path =
      ::testing::TempDir() + "halvview_core_" + name + "_" + std::to_string(getpid()) + ".movie";
  WrittenMovies().push_back(path);
  FILE *f = fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr) << path;
  if (!f) return path;
  EXPECT_EQ(WriteMovieHeader(f, TestHeader(width, height, eyes, nframes)), 0);
  for (const Record &r : records) {
    PutDouble(f, r.maxLum, swap_doubles);
    PutDouble(f, r.logAv, swap_doubles);
    fwrite(r.pixels.data(), 1, r.pixels.size(), f);
  }
  const long size = ftell(f);
  fclose(f);
  if (cut) {
    EXPECT_EQ(truncate(path.c_str(), size - (long)cut), 0);
  }
  return path;
}

std::unique_ptr<Session> OpenMovie(const std::string &path, int width, int height, int eyes, int nframes,
                                   int byteswap) {
  const int fd = open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << path;
  if (fd < 0) return nullptr;
  std::unique_ptr<Session> s(new Session);
  AdoptSessionMovie(s.get(), fd, TestHeader(width, height, eyes, nframes), byteswap);
  AllocateShown(s.get());
  return s;
}

ConversionSettings Conversion(Session *s) {
  return MakeConversion(s->settings, s->movie.header.width, s->movie.header.height, s->currentframe, s->pool,
                        &s->statistics);
}

void LoadFrame(Session *s) { DecodeFrame(Conversion(s), s->shown->rgbe, s->scratch.lum, s->scratch.fframe); }

void Tonemapping(Session *s, double maxLum, double logAvg) {
  TonemapRecord(Conversion(s), s->scratch.lum, maxLum, logAvg, &s->adapted[0], 0);
}

void PixelOutTmo(Session *s) { ColourFrame(Conversion(s), s->scratch.lum, s->scratch.fframe, s->shown->out[0], nullptr); }

void PixelOut(Session *s) { ExposeFrame(Conversion(s), s->scratch.fframe, s->shown->out[0], nullptr); }

Record MarkedRecord(int frame, int eye, int width, int height) {
  Record r;
  r.maxLum = 1000.0 + 10.0 * frame + eye;
  r.logAv = 1.0 + frame + eye / 4.0;
  const size_t n = (size_t)width * (size_t)height;
  r.pixels.resize(4 * n);
  for (size_t k = 0; k < n; k++) {
    // Exponent byte 136 makes a component's value its mantissa.
    r.pixels[4 * k] = (uint8_t)(frame + 1);
    r.pixels[4 * k + 1] = (uint8_t)(eye + 1);
    r.pixels[4 * k + 2] = 5;
    r.pixels[4 * k + 3] = 136;
  }
  return r;
}

std::vector<Record> MarkedMovie(int nframes, int eyes, int width, int height) {
  std::vector<Record> records;
  for (int f = 0; f < nframes; f++)
    for (int e = 0; e < eyes; e++) records.push_back(MarkedRecord(f, e, width, height));
  return records;
}

namespace {

int UniformComponent(const float *out, size_t n, int component) {
  const float v = out[component];
  for (size_t k = 0; k < n; k++)
    if (out[3 * k + component] != v) return -1;
  if (v != std::floor(v)) return -1;
  return (int)v - 1;
}

}  // namespace

int ShownFrame(const float *out, size_t npixels) { return UniformComponent(out, npixels, 0); }
int ShownEye(const float *out, size_t npixels) { return UniformComponent(out, npixels, 1); }
