// RGBE_WriteHeader / RGBE_ReadHeader: accepted and refused headers, the exact
// messages, what the record and the sizes hold after a failure, and where
// the stream is left.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rgbe.h"
#include "rgbe_testio.h"

namespace {

const std::string kFormat = "FORMAT=32-bit_rle_rgbe\n";

struct ReadResult {
  int rc;
  int width, height;
  RGBE_PictureInfo info;
  std::string err;
  long pos;  // stream position after the call
};

// Reads a header from `text`; the record (when used) and the sizes start
// out as garbage so that what the reader stores is visible.
ReadResult Read(const std::string &text, bool with_record = true) {
  ReadResult r;
  r.width = r.height = -777;
  r.info.flags = 0x70;
  strcpy(r.info.program, "garbage");
  r.info.gamma = 7.0f;
  r.info.exposure = 9.0f;
  FILE *fp = StreamOf(text);
  StderrCapture cap;
  r.rc = RGBE_ReadHeader(fp, &r.width, &r.height, with_record ? &r.info : nullptr);
  r.err = cap.Text();
  r.pos = ftell(fp);
  fclose(fp);
  return r;
}

void ExpectDefaults(const RGBE_PictureInfo &info, int flags) {
  EXPECT_EQ(info.flags, flags);
  EXPECT_EQ(info.gamma, 1.0f);
  EXPECT_EQ(info.exposure, 1.0f);
}

TEST(RgbeReadHeader, PlainHeaderLeavesStreamAtPixels) {
  const std::string head = "#?RADIANCE\n" + kFormat + "\n-Y 486 +X 720\n";
  for (bool rec : {true, false}) {
    ReadResult r = Read(head + "\x02\x02\x02\xd0", rec);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.width, 720);
    EXPECT_EQ(r.height, 486);
    EXPECT_EQ(r.pos, (long)head.size());
    if (rec) {
      ExpectDefaults(r.info, RGBE_HAS_PROGRAM);
      EXPECT_STREQ(r.info.program, "RADIANCE");
    } else {
      EXPECT_EQ(r.info.flags, 0x70);  // no record: nothing written to it
    }
  }
  // Text after the second number is ignored; sizes are returned as read.
  ReadResult r = Read("#?X\n" + kFormat + "\n-Y -3 +X 0 extra words\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.height, -3);
  EXPECT_EQ(r.width, 0);
  r = Read("#?X\n" + kFormat + "\n-Y 0 +X 0\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.height, 0);
  EXPECT_EQ(r.width, 0);
}

TEST(RgbeReadHeader, ProgramWord) {
  const std::string rest = kFormat + "\n-Y 1 +X 1\n";
  struct {
    const char *first;
    const char *program;
  } cases[] = {
      {"#?\n", ""},
      {"#? RGBE\n", ""},
      {"#?ABCDEFGHIJKLMNOPQRSTUVWXYZ\n", "ABCDEFGHIJKLMNO"},
      {"#?ABCDEFGHIJKLMNO\n", "ABCDEFGHIJKLMNO"},
      {"#?RG\tBE\n", "RG"},
      {"#?RGBE\r\n", "RGBE"},
      {"#?a\vb\n", "a"},
  };
  for (const auto &c : cases) {
    ReadResult r = Read(std::string(c.first) + rest);
    EXPECT_EQ(r.rc, 0) << c.first;
    EXPECT_STREQ(r.info.program, c.program) << c.first;
    EXPECT_EQ(r.info.flags, RGBE_HAS_PROGRAM) << c.first;
  }
}

TEST(RgbeReadHeader, GammaAndExposure) {
  // Before the format line they are skipped like any other line.
  ReadResult r = Read("#?RGBE\nGAMMA=2.2\nEXPOSURE=0.5\nPRIMARIES=1 2 3\n" + kFormat +
                      "\n-Y 2 +X 3\n");
  EXPECT_EQ(r.rc, 0);
  ExpectDefaults(r.info, RGBE_HAS_PROGRAM);

  // ... which includes every header the writer emits with both bits set.
  RGBE_PictureInfo w = {RGBE_HAS_PROGRAM | RGBE_HAS_GAMMA | RGBE_HAS_EXPOSURE, "prog", 2.2f, 0.5f};
  FILE *fp = tmpfile();
  ASSERT_EQ(RGBE_WriteHeader(fp, 3, 2, &w), 0);
  r = Read(Text(Contents(fp)));
  fclose(fp);
  EXPECT_EQ(r.rc, 0);
  ExpectDefaults(r.info, RGBE_HAS_PROGRAM);
  EXPECT_STREQ(r.info.program, "prog");
  EXPECT_EQ(r.width, 3);
  EXPECT_EQ(r.height, 2);

  // After it, in this order, both are taken.
  r = Read("#?RGBE\n" + kFormat + "GAMMA=2.2\nEXPOSURE=0.5\n\n-Y 2 +X 3\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.info.flags, RGBE_HAS_PROGRAM | RGBE_HAS_GAMMA | RGBE_HAS_EXPOSURE);
  EXPECT_EQ(r.info.gamma, 2.2f);
  EXPECT_EQ(r.info.exposure, 0.5f);
  r = Read("#?RGBE\n" + kFormat + "EXPOSURE=4\n\n-Y 2 +X 3\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.info.flags, RGBE_HAS_PROGRAM | RGBE_HAS_EXPOSURE);
  EXPECT_EQ(r.info.gamma, 1.0f);
  EXPECT_EQ(r.info.exposure, 4.0f);

  // EXPOSURE first: the exposure is kept, then the GAMMA line fails.
  r = Read("#?RGBE\n" + kFormat + "EXPOSURE=0.5\nGAMMA=2.2\n\n-Y 2 +X 3\n");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, FormatError("missing blank line after FORMAT specifier"));
  EXPECT_EQ(r.info.flags, RGBE_HAS_PROGRAM | RGBE_HAS_EXPOSURE);
  EXPECT_EQ(r.info.exposure, 0.5f);
  EXPECT_EQ(r.info.gamma, 1.0f);
  EXPECT_EQ(r.width, -777);
  EXPECT_EQ(r.height, -777);
}

TEST(RgbeReadHeader, RefusedHeadersAndWhatStaysStored) {
  const std::string size = "-Y 2 +X 3\n";
  struct {
    std::string text;
    bool record;
    const char *msg;
  } cases[] = {
      {"RGBE\n" + kFormat + "\n" + size, true, "bad initial token"},
      {"#", true, "bad initial token"},
      {"?#RGBE\n", false, "bad initial token"},
      {"#?RGBE\n\n" + kFormat + "\n" + size, true, "no FORMAT specifier found"},
      {"#?RGBE\nX=1\n\n" + kFormat + "\n" + size, false, "no FORMAT specifier found"},
      {"#?RGBE\n" + kFormat + "# a comment\n\n" + size, true,
       "missing blank line after FORMAT specifier"},
      {"#?RGBE\n" + kFormat + "GAMMA=2.2\n\n" + size, false,
       "missing blank line after FORMAT specifier"},
      {"#?RGBE\n" + kFormat + " \n" + size, true, "missing blank line after FORMAT specifier"},
      {"#?RGBE\n" + kFormat + "\n+Y 2 +X 3\n", true, "missing image size specifier"},
      {"#?RGBE\n" + kFormat + "\n+X 3 -Y 2\n", true, "missing image size specifier"},
      {"#?RGBE\n" + kFormat + "\n\n", true, "missing image size specifier"},
      // Format line variants that never match, then an empty line.
      {"#?RGBE\n FORMAT=32-bit_rle_rgbe\n\n" + size, true, "no FORMAT specifier found"},
      {"#?RGBE\nFORMAT=32-bit_rle_rgbe \n\n" + size, true, "no FORMAT specifier found"},
  };
  for (const auto &c : cases) {
    ReadResult r = Read(c.text, c.record);
    EXPECT_EQ(r.rc, -1) << c.text;
    EXPECT_EQ(r.err, FormatError(c.msg)) << c.text;
    EXPECT_EQ(r.width, -777) << c.text;
    EXPECT_EQ(r.height, -777) << c.text;
    if (c.record) {
      // The defaults were set before anything was read.
      EXPECT_EQ(r.info.gamma, 1.0f);
      EXPECT_EQ(r.info.exposure, 1.0f);
      EXPECT_EQ(r.info.flags & ~RGBE_HAS_PROGRAM, 0) << c.text;
    }
  }

  // Nothing is read beyond the line that failed.
  ReadResult r = Read("XY\n" + kFormat);
  EXPECT_EQ(r.pos, 3);
  EXPECT_EQ(r.info.flags, 0);
  EXPECT_STREQ(r.info.program, "");
  r = Read("#?RGBE\n" + kFormat + "bad\nmore\n");
  EXPECT_EQ(r.pos, (long)(7 + kFormat.size() + 4));

  // -X in place of +X: the height converted before the mismatch is stored.
  r = Read("#?RGBE\n" + kFormat + "\n-Y 480 -X 640\n");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, FormatError("missing image size specifier"));
  EXPECT_EQ(r.height, 480);
  EXPECT_EQ(r.width, -777);
  r = Read("#?RGBE\n" + kFormat + "\n-Y 5\n");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.height, 5);
  EXPECT_EQ(r.width, -777);
}

TEST(RgbeReadHeader, EndOfFileIsAReadError) {
  const std::string cuts[] = {
      "",
      "#?RGBE\n",
      "#?RGBE\nGAMMA=1\n",
      "#?RGBE\n" + kFormat,
      "#?RGBE\n" + kFormat + "GAMMA=2\n",
      "#?RGBE\n" + kFormat + "GAMMA=2\nEXPOSURE=3\n",
      "#?RGBE\n" + kFormat + "\n",
  };
  for (const auto &text : cuts) {
    ReadResult r = Read(text);
    EXPECT_EQ(r.rc, -1) << text;
    EXPECT_PERROR_LINE(r.err, "RGBE read error");
    EXPECT_EQ(r.width, -777);
  }
  // A failed first read still leaves the record's defaults.
  ReadResult r = Read("");
  ExpectDefaults(r.info, 0);
  EXPECT_STREQ(r.info.program, "");
  // What the last lines stored stays.
  r = Read("#?RGBE\n" + kFormat + "GAMMA=2\nEXPOSURE=3\n");
  EXPECT_EQ(r.info.flags, RGBE_HAS_PROGRAM | RGBE_HAS_GAMMA | RGBE_HAS_EXPOSURE);
  EXPECT_EQ(r.info.gamma, 2.0f);
  EXPECT_EQ(r.info.exposure, 3.0f);
}

TEST(RgbeReadHeader, LongLinesArriveIn127CharacterPieces) {
  const std::string tail = kFormat + "\n-Y 2 +X 3\n";
  // 127 or 254 characters: the last piece is just the line feed, which
  // looks like an empty line.
  for (size_t n : {127u, 254u}) {
    ReadResult r = Read("#?RGBE\n" + std::string(n, 'a') + "\n" + tail);
    EXPECT_EQ(r.rc, -1) << n;
    EXPECT_EQ(r.err, FormatError("no FORMAT specifier found")) << n;
  }
  // Other lengths are skipped piece by piece.
  for (size_t n : {126u, 128u, 200u, 253u, 255u, 1000u}) {
    ReadResult r = Read("#?RGBE\n" + std::string(n, 'a') + "\n" + tail);
    EXPECT_EQ(r.rc, 0) << n;
    EXPECT_EQ(r.width, 3) << n;
  }
  // A long first line: its first piece gives the program word, the rest is
  // skipped.
  ReadResult r = Read("#?" + std::string(130, 'p') + "\n" + tail);
  EXPECT_EQ(r.rc, 0);
  EXPECT_STREQ(r.info.program, "ppppppppppppppp");
  // The format line is matched per piece: after 127 other characters it
  // arrives as a piece of its own and counts; after 100 it does not.
  r = Read("#?RGBE\n" + std::string(127, 'x') + kFormat + "\n-Y 2 +X 3\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.width, 3);
  r = Read("#?RGBE\n" + std::string(100, 'x') + kFormat + "\n-Y 2 +X 3\n");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, FormatError("no FORMAT specifier found"));
}

TEST(RgbeReadHeader, CarriageReturnLineEndsScanIntoThePixels) {
  const std::string head = "#?RGBE\r\nFORMAT=32-bit_rle_rgbe\r\n\r\n-Y 1 +X 3\r\n";
  // Flat pixels: a line feed ends the second, the third opens with a NUL.
  std::string pixels("\x80\x40\x20\x81\x10\x20\x30\x0a\x00\x05\x06\x83", 12);
  ReadResult r = Read(head + pixels);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, FormatError("no FORMAT specifier found"));
  // A piece that begins with a line feed stops it too.
  r = Read(head + std::string("\x80\x40\x0a\x0a\x10\x20\x30\x81", 8));
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, FormatError("no FORMAT specifier found"));
  // With neither, the scan reaches the end of the file.
  r = Read(head + std::string("\x80\x40\x20\x81\x10\x20\x30\x82", 8));
  EXPECT_EQ(r.rc, -1);
  EXPECT_PERROR_LINE(r.err, "RGBE read error");
  EXPECT_EQ(r.width, -777);
  EXPECT_EQ(r.height, -777);
}

TEST(RgbeWriteHeader, ExactText) {
  auto write = [](RGBE_PictureInfo *info, int w, int h) {
    FILE *fp = tmpfile();
    StderrCapture cap;
    EXPECT_EQ(RGBE_WriteHeader(fp, w, h, info), 0);
    EXPECT_EQ(cap.Text(), "");
    std::string s = Text(Contents(fp));
    fclose(fp);
    return s;
  };
  const std::string plain = "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 486 +X 720\n";
  ASSERT_EQ(plain.size(), 45u);
  EXPECT_EQ(write(nullptr, 720, 486), plain);

  RGBE_PictureInfo all = {RGBE_HAS_PROGRAM | RGBE_HAS_GAMMA | RGBE_HAS_EXPOSURE, "RGBE", 2.2f, 1.0f};
  const std::string full =
      "#?RGBE\nGAMMA=2.2\nEXPOSURE=1\nFORMAT=32-bit_rle_rgbe\n\n-Y 486 +X 720\n";
  ASSERT_EQ(full.size(), 66u);
  EXPECT_EQ(write(&all, 720, 486), full);

  // Flags 0, or only bits the writer does not know: the plain header.
  RGBE_PictureInfo none = {0, "other", 3.0f, 4.0f};
  EXPECT_EQ(write(&none, 720, 486), plain);
  none.flags = 8 | 16 | 256;
  EXPECT_EQ(write(&none, 720, 486), plain);

  RGBE_PictureInfo empty = {RGBE_HAS_PROGRAM, "", 1.0f, 1.0f};
  EXPECT_EQ(write(&empty, 8, 2), "#?\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 8\n");
  RGBE_PictureInfo some = {RGBE_HAS_EXPOSURE, "ignored", 5.0f, 0.125f};
  EXPECT_EQ(write(&some, 1, 0), "#?RGBE\nEXPOSURE=0.125\nFORMAT=32-bit_rle_rgbe\n\n-Y 0 +X 1\n");
}

TEST(RgbeWriteHeader, WriteErrorKeepsEarlierLines) {
  RGBE_PictureInfo all = {RGBE_HAS_PROGRAM | RGBE_HAS_GAMMA | RGBE_HAS_EXPOSURE, "RGBE", 2.2f, 1.0f};
  const std::string calls[] = {"#?RGBE\n", "GAMMA=2.2\n", "EXPOSURE=1\n",
                               "FORMAT=32-bit_rle_rgbe\n\n", "-Y 486 +X 720\n"};
  std::string before;
  for (const std::string &failing : calls) {
    LimitedSink sink{before.size(), {}};
    FILE *fp = OpenLimitedSink(&sink);
    StderrCapture cap;
    const int rc = RGBE_WriteHeader(fp, 720, 486, &all);
    const std::string err = cap.Text();
    EXPECT_EQ(rc, -1) << failing;
    EXPECT_EQ(err, std::string("RGBE write error: ") + strerror(ENOSPC) + "\n") << failing;
    EXPECT_EQ(Text(sink.data), before) << failing;
    fclose(fp);
    before += failing;
  }
}

}  // namespace
