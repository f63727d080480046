// PackList and the movie writer end with a status and leave ending the
// process to the program: a list worked through, a picture of the wrong
// size and a movie that cannot be written, on one thread and on several.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder.h"
#include "rgbe.h"

namespace {

constexpr int W = 16, H = 4;
constexpr uint64_t RECORD = RECORD_STATISTICS_SIZE + 4 * W * H;

void WritePicture(const std::string &path, int height) {
  const std::vector<float> rgb(3 * (size_t)W * height, 0.25f);
  FILE *fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  ASSERT_EQ(RGBE_WriteHeader(fp, W, height, nullptr), 0);
  ASSERT_EQ(RGBE_WritePixels_RLE(fp, rgb.data(), W, height), 0);
  fclose(fp);
}

size_t Count(const std::string &text, const std::string &word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) n++;
  return n;
}

TEST(PackList, EndsWithAStatusTheProgramActsOn) {
  char tmpl[] = "/tmp/halvpack-pack-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, good = dir + "/good.hdr", tall = dir + "/tall.hdr";
  WritePicture(good, H);
  WritePicture(tall, H + 1);
  // Every write reaches the device unbuffered, and the device is full.
  FILE *full = fopen("/dev/full", "wb");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  setvbuf(full, nullptr, _IONBF, 0);
  MovieWriter refused;
  refused.file = full;
  EXPECT_EQ(WriteHeader(&refused), -1);
  EXPECT_EQ(refused.bytes, 0u);

  struct Case {
    std::vector<std::string> list;
    bool to_full;
    PackStatus status;
    uint64_t bytes;
    size_t processed;  // "Processing" lines printed
    std::string last;  // what the messages end with
  };
  const Case cases[] = {
      {{good, good}, false, PACK_DONE, 2 * RECORD, 2, " MB \n"},
      {{good, tall, good}, false, PACK_STOPPED, RECORD, 2, "The images have a different sixe than requested \n"},
      {{good, good}, true, PACK_WRITE_FAILED, 0, 1, " \n"},
  };
  for (unsigned threads : {1u, 3u}) {
    for (const Case &c : cases) {
      FILE *list = tmpfile();
      for (const std::string &name : c.list) fprintf(list, "%s\n", name.c_str());
      rewind(list);
      MovieWriter movie;
      movie.file = c.to_full ? full : tmpfile();
      movie.header = {W, H, MOVIE_FORMAT, 1, {0, 0}, (int32_t)c.list.size()};
      testing::internal::CaptureStderr();
      const PackStatus status = PackList(list, &movie, threads);
      const std::string said = testing::internal::GetCapturedStderr();
      const std::string what = std::to_string(threads) + " threads: " + said;
      EXPECT_EQ(status, c.status) << what;
      EXPECT_EQ(movie.bytes, c.bytes) << what;
      EXPECT_EQ(Count(said, "Processing "), c.processed) << what;
      EXPECT_EQ(said.substr(said.size() - std::min(said.size(), c.last.size())), c.last) << what;
      EXPECT_EQ(said.find("Failed to write"), std::string::npos) << what;
      if (!c.to_full) fclose(movie.file);
      fclose(list);
    }
  }
  fclose(full);
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

}  // namespace
