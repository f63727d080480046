// Output-name patterns: what is taken and what is refused, and names filled
// in exactly as printf fills the same field.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exporter.h"

namespace {

OutputPattern Parse(const std::string &text) {
  OutputPattern p;
  const std::string problem = ParseOutputPattern(text, &p);
  EXPECT_EQ(problem, "") << text;
  return p;
}

std::string Refusal(const std::string &text) {
  OutputPattern p;
  return ParseOutputPattern(text, &p);
}

// What printf writes for the field alone (the test's own formats, checked
// against a fixed set of conversions).
std::string Printf(const std::string &field, int frame) {
  char text[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  if (field.back() == 'u')
    snprintf(text, sizeof text, field.c_str(), (unsigned)frame);
  else
    snprintf(text, sizeof text, field.c_str(), frame);
#pragma GCC diagnostic pop
  return text;
}

}  // namespace

TEST(OutputPattern, FieldsLikePrintf) {
  const std::vector<std::string> flags = {"", "-", "0", "+", " ", "-0", "+0", " 0", "-+", "- ", "0+ -"};
  const std::vector<std::string> widths = {"", "1", "3", "5", "12"};
  const std::vector<std::string> precisions = {"", ".", ".0", ".2", ".7"};
  const std::vector<int> frames = {0, 1, 7, 42, 99999, 100000, 2147483647};
  int checked = 0;
  for (const std::string &f : flags)
    for (const std::string &w : widths)
      for (const std::string &p : precisions)
        for (const char c : {'d', 'i', 'u'}) {
          const std::string field = "%" + f + w + p + c;
          const OutputPattern pattern = Parse("dir/shot_" + field + ".png");
          for (const int frame : frames) {
            EXPECT_EQ(FormatOutputName(pattern, frame), "dir/shot_" + Printf(field, frame) + ".png")
                << field << " " << frame;
            checked++;
          }
        }
  EXPECT_EQ(checked, 11 * 5 * 5 * 3 * 7);
}

TEST(OutputPattern, PercentSignsAroundTheField) {
  const OutputPattern p = Parse("100%%/%%frame%%_%04d_%%.png");
  EXPECT_EQ(p.prefix, "100%/%frame%_");
  EXPECT_EQ(p.suffix, "_%.png");
  EXPECT_EQ(FormatOutputName(p, 12), "100%/%frame%_0012_%.png");
  // The field may stand anywhere, a directory's name too.
  EXPECT_EQ(FormatOutputName(Parse("%d"), 5), "5");
  EXPECT_EQ(FormatOutputName(Parse("take%03u/frame.png"), 7), "take007/frame.png");
}

TEST(OutputPattern, RefusesNamesWithoutExactlyOneIntegerField) {
  EXPECT_NE(Refusal("frame.png").find("has no frame-number field"), std::string::npos);
  EXPECT_NE(Refusal("").find("has no frame-number field"), std::string::npos);
  EXPECT_NE(Refusal("100%%.png").find("has no frame-number field"), std::string::npos);
  EXPECT_NE(Refusal("a%d_%05d.png").find("more than one"), std::string::npos);
  EXPECT_NE(Refusal("%d%d").find("more than one"), std::string::npos);
  // Conversions that are not an integer, length modifiers, flags printf
  // leaves undefined for integers, a field cut short.
  for (const std::string bad : {"f_%s.png", "f_%x.png", "f_%f.png", "f_%ld.png", "f_%lld.png", "f_%hd.png",
                                "f_%#d.png", "f_%'d.png", "f_%*d.png", "f_%n.png", "f_%c.png", "f_%05",
                                "f_%", "f_%d%", "f_%-", "f_%5.png", "%p"}) {
    const std::string why = Refusal(bad);
    EXPECT_FALSE(why.empty()) << bad;
    EXPECT_NE(why.find(bad), std::string::npos) << why;  // the message quotes the name
  }
  // Widths and precisions that make no file name.
  EXPECT_NE(Refusal("f_%101d.png").find("wider than"), std::string::npos);
  EXPECT_NE(Refusal("f_%.200d.png").find("wider than"), std::string::npos);
  EXPECT_EQ(Refusal("f_%100d.png"), "");
}

TEST(OutputPattern, RefusalLeavesThePatternAlone) {
  OutputPattern p = Parse("keep_%03d");
  EXPECT_NE(ParseOutputPattern("bad_%s", &p), "");
  EXPECT_EQ(FormatOutputName(p, 3), "keep_003");
}

TEST(ScreenshotName, MovieNameWithoutDirectoryAndExtensionAndTheFrameInFiveDigits) {
  EXPECT_EQ(ScreenshotName("demo.hmv", 12, 1), "demo-00012.png");
  EXPECT_EQ(ScreenshotName("/data/movies/sunset.take2.hmv", 0, 1), "sunset.take2-00000.png");
  EXPECT_EQ(ScreenshotName("build/demo/demo.hmv", 123456, 1), "demo-123456.png");
  EXPECT_EQ(ScreenshotName("demo.hmv", 12, 2), "demo-00012-2.png");
  EXPECT_EQ(ScreenshotName("demo.hmv", 12, 17), "demo-00012-17.png");
  EXPECT_EQ(ScreenshotName("noextension", 3, 1), "noextension-00003.png");
  EXPECT_EQ(ScreenshotName("dir.d/noextension", 3, 1), "noextension-00003.png");
  EXPECT_EQ(ScreenshotName(".hidden", 3, 1), ".hidden-00003.png");
}
