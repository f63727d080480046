// The GL-free helpers: line reading, image allocation sizes and the clock.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "utility.h"

namespace {

struct Line {
  int rc;
  std::string text;
  bool operator==(const Line &o) const { return rc == o.rc && text == o.text; }
};
std::ostream &operator<<(std::ostream &os, const Line &l) {
  return os << "{" << l.rc << ", \"" << l.text << "\"}";
}

// Every ReadLine result on `input` until it returns 0, the final 0 included.
std::vector<Line> AllLines(const std::string &input, int limit) {
  FILE *fp = tmpfile();
  fwrite(input.data(), 1, input.size(), fp);
  rewind(fp);
  std::vector<Line> out;
  std::vector<char> buf((size_t)limit + 1 + 8, '#');
  for (int i = 0; i < 100; i++) {
    const int rc = ReadLine(fp, buf.data(), limit);
    out.push_back({rc, buf.data()});
    // Never writes past the terminator of `limit` characters.
    for (size_t k = (size_t)limit + 1; k < buf.size(); k++) EXPECT_EQ(buf[k], '#');
    if (rc == 0) break;
  }
  fclose(fp);
  return out;
}

TEST(ReadLine, LineEnds) {
  EXPECT_EQ(AllLines("a b\ncd\n", 1000),
            (std::vector<Line>{{1, "a b"}, {1, "cd"}, {0, ""}}));
  // CR, CR LF and LF each end one line; LF CR and CR CR are two ends.
  EXPECT_EQ(AllLines("one\rtwo\r\nthree\n\rfour\r\r", 1000),
            (std::vector<Line>{{1, "one"}, {1, "two"}, {1, "three"}, {1, ""}, {1, "four"},
                               {1, ""}, {0, ""}}));
  // Empty lines are lines; a CR at the very end still ends one.
  EXPECT_EQ(AllLines("\n\nx\r", 1000),
            (std::vector<Line>{{1, ""}, {1, ""}, {1, "x"}, {0, ""}}));
  EXPECT_EQ(AllLines("", 1000), (std::vector<Line>{{0, ""}}));
  // Text after the last line end is not a line.
  const std::vector<Line> tail = AllLines("first\nlast", 1000);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0], (Line{1, "first"}));
  EXPECT_EQ(tail[1].rc, 0);
  EXPECT_EQ(AllLines("a\nb\nc", 1000).size(), 3u);
}

TEST(ReadLine, LimitSplitsLongLines) {
  EXPECT_EQ(AllLines("abcdefghij\nxy\n", 4),
            (std::vector<Line>{{1, "abcd"}, {1, "efgh"}, {1, "ij"}, {1, "xy"}, {0, ""}}));
  // A line of exactly `limit` characters: the line end left unread becomes
  // an empty line of its own.
  EXPECT_EQ(AllLines("abcd\nxy\n", 4),
            (std::vector<Line>{{1, "abcd"}, {1, ""}, {1, "xy"}, {0, ""}}));
  EXPECT_EQ(AllLines("abcd\r\nxy\n", 4),
            (std::vector<Line>{{1, "abcd"}, {1, ""}, {1, "xy"}, {0, ""}}));
  // The builder's limit: 1000 characters, then the rest.
  const std::string longline = std::string(1000, 'a') + std::string(5, 'b') + "\n";
  EXPECT_EQ(AllLines(longline, 1000),
            (std::vector<Line>{{1, std::string(1000, 'a')}, {1, "bbbbb"}, {0, ""}}));
}

TEST(ImageAllocation, SizesInSizeT) {
  // Non-positive sizes give null, even when their product is positive.
  const int bad[][2] = {{0, 5}, {5, 0}, {0, 0}, {-1, 5}, {5, -1}, {-1, -1}, {-4, -3}};
  for (const auto &wh : bad) {
    EXPECT_EQ(CreateFloatmap(wh[0], wh[1]), nullptr) << wh[0] << "x" << wh[1];
    EXPECT_EQ(CreateRGBEmap(wh[0], wh[1]), nullptr) << wh[0] << "x" << wh[1];
  }

  float *f = CreateFloatmap(3, 2);
  ASSERT_NE(f, nullptr);
  EXPECT_GE(malloc_usable_size(f), 3u * 2 * 12);
  for (int i = 0; i < 18; i++) f[i] = (float)i;
  DestroyFloatmap(f);
  DestroyFloatmap(nullptr);
  unsigned char *r = CreateRGBEmap(3, 2);
  ASSERT_NE(r, nullptr);
  EXPECT_GE(malloc_usable_size(r), 3u * 2 * 4);
  free(r);

  // 31999 x 31999 pixels: 12 and 4 bytes each overflow 32-bit arithmetic.
  // The blocks are only touched at both ends, so few pages are used.
  const size_t n = (size_t)31999 * 31999;
  void *probe = malloc(n * 12);
  if (probe == nullptr) GTEST_SKIP() << "this machine cannot reserve 12 GB";
  free(probe);
  f = CreateFloatmap(31999, 31999);
  ASSERT_NE(f, nullptr);
  EXPECT_GE(malloc_usable_size(f), n * 12);
  f[0] = 1.0f;
  f[n * 3 - 1] = 2.0f;
  DestroyFloatmap(f);
  r = CreateRGBEmap(31999, 31999);
  ASSERT_NE(r, nullptr);
  EXPECT_GE(malloc_usable_size(r), n * 4);
  r[0] = 1;
  r[n * 4 - 1] = 2;
  free(r);
  // 46341 x 46341 pixels: the pixel count itself passes 2^31.
  const size_t m = (size_t)46341 * 46341;
  r = CreateRGBEmap(46341, 46341);
  ASSERT_NE(r, nullptr);
  EXPECT_GE(malloc_usable_size(r), m * 4);
  r[m * 4 - 1] = 3;
  free(r);
}

TEST(GetRunTime, WallClockWithMicroseconds) {
  auto now = [] {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
  };
  // Bracketed by the same clock read before and after (it truncates to
  // whole microseconds, hence the slack below).
  const double before = now();
  const double t = GetRunTime();
  const double after = now();
  EXPECT_GE(t, before - 2e-6);
  EXPECT_LE(t, after + 2e-6);
  // It resolves well below a millisecond and never goes backwards: the
  // smallest of a few observed steps is tiny even on a busy machine.
  double smallest = 1.0;
  for (int k = 0; k < 20; k++) {
    const double t0 = GetRunTime();
    double t1 = t0;
    for (int i = 0; i < 10000000 && t1 == t0; i++) t1 = GetRunTime();
    EXPECT_GT(t1, t0);
    smallest = std::min(smallest, t1 - t0);
  }
  EXPECT_LT(smallest, 0.0001);
}

}  // namespace
