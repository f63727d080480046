// The builder's small parts: picture kinds from the first bytes, the words
// of a list line, the PFM header, and the codec's reader of stored pixels
// and its message streams, which the builder's workers rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "builder.h"
#include "rgbe.h"

namespace {

PictureKind Sniff(const std::string &bytes) {
  return SniffPicture((const unsigned char *)bytes.data(), bytes.size());
}

TEST(SniffPicture, FirstBytesDecide) {
  EXPECT_EQ(Sniff(std::string("\x76\x2f\x31\x01", 4)), PICTURE_OPENEXR);
  EXPECT_EQ(Sniff(std::string("\x76\x2f\x31\x01\x02\x00", 6)), PICTURE_OPENEXR);
  EXPECT_EQ(Sniff("PF\n1"), PICTURE_PFM);
  EXPECT_EQ(Sniff("Pf"), PICTURE_PFM);
  EXPECT_EQ(Sniff("#?RADIANCE"), PICTURE_RGBE);
  // Everything else goes to the RGBE codec, which says why it cannot read it.
  for (const std::string &other : {std::string(""), std::string("P"), std::string("P6\n"), std::string("pf"),
                                  std::string("PG"), std::string("\x76\x2f\x31", 3),
                                  std::string("\x76\x2f\x31\x02", 4), std::string("\x89PNG")})
    EXPECT_EQ(Sniff(other), PICTURE_RGBE) << other;
}

TEST(TakeNames, CountsTheWordsTaken) {
  std::string names[2] = {"keep0", "keep1"};
  EXPECT_EQ(TakeNames("  \t", names, 2), 0);
  EXPECT_EQ(names[0], "keep0");
  EXPECT_EQ(TakeNames(" a.exr ", names, 2), 1);
  EXPECT_EQ(names[0], "a.exr");
  EXPECT_EQ(names[1], "keep1");
  EXPECT_EQ(TakeNames("l.hdr r.hdr more", names, 2), 2);
  EXPECT_EQ(names[1], "r.hdr");
  EXPECT_EQ(TakeNames("x y", names, 1), 1);
}

// --------------------------------------------------------------------- PFM

struct HeaderResult {
  int rc;
  PFMHeader pfm;
  std::string messages;
};

HeaderResult ParseHeader(const std::string &bytes) {
  HeaderResult r;
  FILE *in = fmemopen((void *)bytes.data(), bytes.size(), "rb");
  char *text = nullptr;
  size_t size = 0;
  FILE *messages = open_memstream(&text, &size);
  memset(&r.pfm, 0x55, sizeof(r.pfm));
  r.rc = ReadPFMHeader(in, &r.pfm, messages);
  fclose(messages);
  fclose(in);
  r.messages.assign(text, size);
  free(text);
  return r;
}

TEST(PFMHeader, WordsAndByteOrder) {
  HeaderResult r = ParseHeader("PF\n720 486\n-1.0\nxxxx");
  ASSERT_EQ(r.rc, 0) << r.messages;
  EXPECT_EQ(r.pfm.width, 720);
  EXPECT_EQ(r.pfm.height, 486);
  EXPECT_EQ(r.pfm.channels, 3);
  EXPECT_TRUE(r.pfm.little_endian);
  EXPECT_EQ(r.pfm.scale, -1.0f);
  EXPECT_EQ(r.pfm.data_offset, 16u);
  EXPECT_EQ(r.messages, "");

  r = ParseHeader("Pf 3 2 0.5\tdata");
  ASSERT_EQ(r.rc, 0) << r.messages;
  EXPECT_EQ(r.pfm.channels, 1);
  EXPECT_FALSE(r.pfm.little_endian);
  EXPECT_EQ(r.pfm.scale, 0.5f);
  EXPECT_EQ(r.pfm.data_offset, 11u);  // one white-space character ends the scale

  r = ParseHeader("PF\r\n  2\n\n 1\r\n\n-3e-2\n");
  ASSERT_EQ(r.rc, 0) << r.messages;
  EXPECT_EQ(r.pfm.width, 2);
  EXPECT_EQ(r.pfm.height, 1);
  EXPECT_EQ(r.pfm.scale, -3e-2f);
}

TEST(PFMHeader, RefusedWithTheReason) {
  const struct {
    const char *bytes;
    const char *message;
  } cases[] = {
      {"PF", "PFM bad file format: bad initial token\n"},
      {"PFx 1 1 -1\n", "PFM bad file format: bad initial token\n"},
      {"P6\n1 1\n255\n", "PFM bad file format: bad initial token\n"},
      {"PF\n1\n", "PFM bad file format: bad image size\n"},
      {"PF\n+1 1\n-1\n", "PFM bad file format: bad image size\n"},
      {"PF\n1 2147483648\n-1\n", "PFM bad file format: bad image size\n"},
      {"PF\n1 1\n", "PFM bad file format: bad scale\n"},
      {"PF\n1 1\n-1", "PFM bad file format: bad scale\n"},  // no white space after the scale
      {"PF\n1 1\n0.0\n", "PFM bad file format: bad scale\n"},
      {"PF\n1 1\n-0\n", "PFM bad file format: bad scale\n"},
      {"PF\n1 1\n1e-60\n", "PFM bad file format: bad scale\n"},
      {"PF\n1 1\nNaN\n", "PFM bad file format: bad scale\n"},
      {"PF\n1 1\ninf\n", "PFM bad file format: bad scale\n"},
      {"PF\n1 1\n-1,0\n", "PFM bad file format: bad scale\n"},
  };
  for (const auto &c : cases) {
    const HeaderResult r = ParseHeader(c.bytes);
    EXPECT_EQ(r.rc, -1) << c.bytes;
    EXPECT_EQ(r.messages, c.message) << c.bytes;
  }
  // A NUL byte in a word, which would end the text for the number parsers:
  // the scale below would read as -1 with the floats after it in the word.
  const char scale_nul[] = "PF\n1 1\n-1\0\0\0@\x10 rest", side_nul[] = "PF\n1\0 1\n-1\n";
  const std::string nul_cases[] = {std::string(scale_nul, sizeof(scale_nul) - 1),
                                    std::string(side_nul, sizeof(side_nul) - 1)};
  for (const std::string &bytes : nul_cases) {
    const HeaderResult r = ParseHeader(bytes);
    EXPECT_EQ(r.rc, -1);
  }
  // A word of any length is cut off, not read without end.
  const HeaderResult r = ParseHeader("PF\n" + std::string(100000, '1') + " 1\n-1\n");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.messages, "PFM bad file format: bad image size\n");
}

// ------------------------------------------------------ the codec's readers

std::string Bytes(FILE *fp) {
  fflush(fp);
  rewind(fp);
  std::string out;
  int c;
  while ((c = fgetc(fp)) != EOF) out.push_back((char)c);
  return out;
}

// A run-length picture written by the codec, then changed: flat from a
// given scanline on, or cut short, or with a broken packet.
std::string RlePicture(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> img(3 * (size_t)w * h);
  for (size_t i = 0; i < img.size(); i++) img[i] = (i / 3) % 5 == 0 ? 0.0f : std::exp2(16.0f * u(rng) - 8.0f);
  FILE *fp = tmpfile();
  RGBE_WritePixels_RLE(fp, img.data(), w, h);
  std::string bytes = Bytes(fp);
  fclose(fp);
  return bytes;
}

struct Read {
  int rc;
  std::vector<float> floats;
  std::vector<unsigned char> raw;
  std::string messages;
};

Read ReadBoth(const std::string &bytes, int w, int h, bool raw) {
  Read r;
  FILE *in = fmemopen((void *)bytes.data(), bytes.size(), "rb");
  char *text = nullptr;
  size_t size = 0;
  FILE *messages = open_memstream(&text, &size);
  RGBE_SetMessageStream(messages);
  if (raw) {
    r.raw.assign(4 * (size_t)w * h, 0xEE);
    r.rc = RGBE_ReadRawPixels_RLE(in, r.raw.data(), w, h);
  } else {
    r.floats.assign(3 * (size_t)w * h, -7.0f);
    r.rc = RGBE_ReadPixels_RLE(in, r.floats.data(), w, h);
  }
  RGBE_SetMessageStream(nullptr);
  fclose(messages);
  fclose(in);
  r.messages.assign(text, size);
  free(text);
  return r;
}

TEST(RawPixels, SamePicturesAndMessagesAsTheDecodingReader) {
  std::vector<std::pair<std::string, std::pair<int, int>>> files;
  for (auto size : {std::pair<int, int>{40, 6}, {8, 3}, {5, 4}, {200, 2}}) {
    const std::string good = RlePicture(size.first, size.second, 7);
    files.push_back({good, size});
    files.push_back({good.substr(0, good.size() - 3), size});      // cut short
    files.push_back({good.substr(0, good.size() / 2), size});
    if (size.first >= 8) {
      std::string broken = good;
      broken[4] = 0;  // a count of 0 in the first packet
      files.push_back({broken, size});
      broken = good;
      broken[3] = (char)(broken[3] + 1);  // the wrong scanline width
      files.push_back({broken, size});
      // The first scanline run-length encoded, the rest flat.
      // Among the flat pixels, one that looks like a marker: a pixel all the same.
      std::string mixed = good.substr(0, RlePicture(size.first, 1, 7).size());
      for (int i = 0; i < size.first * (size.second - 1); i++)
        mixed += i == 1 ? std::string("\x02\x02\x00\x28", 4) : std::string("\x80\x40\x02\x81", 4);
      files.push_back({mixed, size});
      files.push_back({mixed.substr(0, mixed.size() - 2), size});
    }
  }
  files.push_back({"", {9, 1}});
  for (const auto &f : files) {
    const int w = f.second.first, h = f.second.second;
    const Read raw = ReadBoth(f.first, w, h, true), floats = ReadBoth(f.first, w, h, false);
    EXPECT_EQ(raw.rc, floats.rc);
    EXPECT_EQ(raw.messages, floats.messages);
    if (raw.rc != 0) {
      EXPECT_NE(raw.messages, "");
      continue;
    }
    for (size_t i = 0; i < (size_t)w * h; i++) {
      float c[3];
      rgbe2float(&c[0], &c[1], &c[2], &raw.raw[4 * i]);
      for (int k = 0; k < 3; k++) ASSERT_EQ(c[k], floats.floats[3 * i + k]) << i;
    }
  }
}

TEST(MessageStream, EachThreadSaysItsOwn) {
  // Broken pictures read on several threads at once: each thread's stream
  // holds its own messages and nothing of the others'.
  const std::string no_format = "#?RADIANCE\n\n-Y 1 +X 1\n";
  const std::string bad_token = "P6\n";
  std::vector<std::string> said(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&, t] {
      const std::string &bytes = t % 2 ? no_format : bad_token;
      for (int k = 0; k < 200; k++) {
        FILE *in = fmemopen((void *)bytes.data(), bytes.size(), "rb");
        char *text = nullptr;
        size_t size = 0;
        FILE *messages = open_memstream(&text, &size);
        RGBE_SetMessageStream(messages);
        int w, h;
        RGBE_ReadHeader(in, &w, &h, nullptr);
        RGBE_SetMessageStream(nullptr);
        fclose(messages);
        fclose(in);
        if (k == 0 || said[t] != std::string(text, size)) said[t] += std::string(text, size);
        free(text);
      }
    });
  }
  for (std::thread &t : threads) t.join();
  for (int t = 0; t < 8; t++)
    EXPECT_EQ(said[t], t % 2 ? "RGBE bad file format: no FORMAT specifier found\n"
                             : "RGBE bad file format: bad initial token\n");
}

}  // namespace
