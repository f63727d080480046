// PackList and the movie writer end with a status and leave ending the
// process to the program: a list worked through, a picture of the wrong
// size and a movie that cannot be written, on one thread and on several.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder.h"
#include "rgbe.h"

namespace {

constexpr int W = 16, H = 4;
constexpr uint64_t RECORD = RECORD_STATISTICS_SIZE + 4 * W * H;
// The statistics line of a picture of grey 0.25 everywhere.
const std::string PICTURE = " maxLum 0.250000, logAv 0.250023 \n";

void WritePicture(const std::string &path, int height) {
  const std::vector<float> rgb(3 * (size_t)W * height, 0.25f);
  FILE *fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  ASSERT_EQ(RGBE_WriteHeader(fp, W, height, nullptr), 0);
  ASSERT_EQ(RGBE_WritePixels_RLE(fp, rgb.data(), W, height), 0);
  fclose(fp);
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
    std::string last;  // the messages from the last "Processing" on
  };
  const Case cases[] = {
      {{good, good}, false, PACK_DONE, 2 * RECORD, "Processing " + good + PICTURE + ", 272 of 0.0 MB \n"},
      {{good, tall, good}, false, PACK_STOPPED, RECORD,
       "Processing " + tall + "The images have a different sixe than requested \n"},
      // The picture's messages are out; saying that the write failed is the program's.
      {{good, good}, true, PACK_WRITE_FAILED, 0, "Processing " + good + PICTURE},
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
      EXPECT_EQ(said.substr(said.rfind("Processing ")), c.last) << what;
      if (!c.to_full) fclose(movie.file);
      fclose(list);
    }
  }
  fclose(full);
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

}  // namespace
