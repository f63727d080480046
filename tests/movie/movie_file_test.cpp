// The one movie reader: complete frames, and what a read at the end of a
// cut file gives, in both byte orders.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "movie_file.h"

namespace {

// A movie of `frames` frames of two 16 x 16 records, record r of frame k
// with maxLum 10k + r and logAv 0.5, written in the other byte order when
// `swap` is set, cut `cut` bytes short.
std::string WriteMovie(int frames, bool swap, uint64_t cut) {
  const std::string path = ::testing::TempDir() + "movie_file_" + std::to_string(getpid()) + ".hmv";
  MovieHeader h{16, 16, MOVIE_FORMAT, 2, {0, 0}, 3};
  if (swap) SwapMovieHeader(&h);
  std::vector<unsigned char> bytes((size_t)MOVIE_HEADER_SIZE);
  memcpy(bytes.data(), &h, MOVIE_HEADER_SIZE);
  for (int k = 0; k < frames; k++)
    for (int r = 0; r < 2; r++) {
      double statistics[2] = {10.0 * k + r, 0.5};
      if (swap) {
        SwapDouble(&statistics[0]);
        SwapDouble(&statistics[1]);
      }
      const unsigned char *p = reinterpret_cast<const unsigned char *>(statistics);
      bytes.insert(bytes.end(), p, p + 16);
      bytes.insert(bytes.end(), 4 * 16 * 16, (unsigned char)(k + 1));
    }
  bytes.resize(bytes.size() - cut);
  FILE *f = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  return path;
}

TEST(MovieFile, CompleteFramesAndReadsAtTheCut) {
  const uint64_t record = PictureRecordSize(16, 16);
  struct Case {
    int frames;
    uint64_t cut;
    int64_t complete;
    int statistics_of_last;  // what reading the last record's statistics gives
    int pixels_of_last;
  } cases[] = {
      {3, 0, 3, 2, 0},           // whole
      {4, 0, 3, 2, 0},           // more than the header says: its count
      {3, 1, 2, 2, 1},           // one byte short: the last pixels end early
      {3, record - 12, 2, 1, 1}, // inside the logAv
      {3, record - 4, 2, 0, 1},  // inside the maxLum
      {0, 0, 0, 0, 1},           // header only
  };
  for (bool swap : {false, true})
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << c.frames << " frames, cut " << c.cut << (swap ? ", swapped" : ""));
      const std::string path = WriteMovie(c.frames, swap, c.cut);
      MovieFile movie;
      ASSERT_EQ(OpenMovieFile(&movie, path.c_str(), swap), MOVIE_OPENED);
      EXPECT_EQ(movie.header.nframes, 3);
      EXPECT_EQ(movie.frame_size, 2 * record);
      EXPECT_EQ(CompleteFrames(movie), c.complete);
      double maxLum = -1, logAv = -1;
      EXPECT_EQ(ReadRecordStatistics(movie, 0, 1, &maxLum, &logAv), c.frames > 0 ? 2 : 0);
      if (c.frames > 0) {
        EXPECT_EQ(maxLum, 1.0);
      }
      const int last = c.frames < 3 ? c.frames - 1 : 2;
      std::vector<unsigned char> pixels(4 * movie.npixels);
      EXPECT_EQ(ReadRecordStatistics(movie, last < 0 ? 0 : last, 1, &maxLum, &logAv), c.statistics_of_last);
      EXPECT_EQ(ReadPixelsAt(movie, RecordPosition(movie, last < 0 ? 0 : last, 1), pixels.data()),
                c.pixels_of_last);
      CloseMovieFile(&movie);
      EXPECT_EQ(movie.fd, -1);
      unlink(path.c_str());
    }
  MovieFile movie;
  EXPECT_EQ(OpenMovieFile(&movie, "/nonexistent/movie.hmv", 0), MOVIE_NOT_OPENED);
  EXPECT_EQ(OpenMovieFile(&movie, "/tmp", 0), MOVIE_NOT_OPENED);
  const std::string stub = WriteMovie(0, false, 1);  // 11 bytes
  EXPECT_EQ(OpenMovieFile(&movie, stub.c_str(), 0), MOVIE_NO_HEADER);
  CloseMovieFile(&movie);
  unlink(stub.c_str());
}

}  // namespace
