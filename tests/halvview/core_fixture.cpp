#include "core_fixture.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

void SetUpPlayer(int width, int height, int eyes, int nframes) {
  TearDownPlayer();
  tmo = 0;
  autoplay = 0;
  byteswap = 0;
  exposure = 0.0f;
  biasParam = 0.85f;
  playdir = 1;
  looptype = 1;
  currentframe = 0;
  logAv = 0.0;
  logAv0 = 0.0;
  logAv0_right = 0.0;
  readtime = 0.0;

  header = MovieHeader{};
  header.width = (int16_t)width;
  header.height = (int16_t)height;
  header.format = MOVIE_FORMAT;
  header.eyes = (uint8_t)eyes;
  header.nframes = nframes;
  SetMovieGeometry();

  const size_t n = (size_t)width * (size_t)height;
  ASSERT_EQ(AllocatePlayerBuffers(1), BUFFERS_ALLOCATED);
  const size_t lumsize = (size_t)(width + 2) * (size_t)(height + 2);
  for (size_t i = 0; i < lumsize; i++) Lum[i] = std::numeric_limits<double>::quiet_NaN();
  memset(out_img, 0, 12 * n);
  memset(out_img_right, 0, 12 * n);
}

namespace {
// The movies written so far, for RemoveWrittenMovies.
std::vector<std::string> &WrittenMovies() {
  static std::vector<std::string> paths;
  return paths;
}
}  // namespace

void TearDownPlayer() { FreePlayerBuffers(); }

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
  MovieHeader h{};
  h.width = (int16_t)width;
  h.height = (int16_t)height;
  h.format = MOVIE_FORMAT;
  h.eyes = (uint8_t)eyes;
  h.nframes = nframes;
  EXPECT_EQ(WriteMovieHeader(f, h), 0);
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

void OpenMovie(const std::string &path, int width, int height, int eyes, int nframes) {
  SetUpPlayer(width, height, eyes, nframes);
  fptr = fopen(path.c_str(), "rb");
  ASSERT_NE(fptr, nullptr) << path;
  MovieHeader h;
  ASSERT_EQ(fread(&h, sizeof h, 1, fptr), 1u);
}

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

int UniformComponent(const float *out, int component) {
  const size_t n = npixels;
  const float v = out[component];
  for (size_t k = 0; k < n; k++)
    if (out[3 * k + component] != v) return -1;
  if (v != std::floor(v)) return -1;
  return (int)v - 1;
}

}  // namespace

int ShownFrame(const float *out) { return UniformComponent(out, 0); }
int ShownEye(const float *out) { return UniformComponent(out, 1); }
