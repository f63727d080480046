// Flat and run-length-encoded scanlines: the plane encoder's packets byte
// for byte, the form chosen by width, round trips, hand-built files the
// reader must take or refuse, and what the caller's buffer holds after a
// failure.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "rgbe.h"
#include "rgbe_testio.h"

namespace {

const float kSentinel = -12345.0f;  // marks triples a reader must not touch
const float kFloor = 9.99999997e-07f;

// What any writer-then-reader pair must give: each pixel through
// float2rgbe and rgbe2float.
std::vector<float> PixelRoundTrip(const std::vector<float> &img) {
  std::vector<float> out(img.size());
  for (size_t i = 0; i < img.size(); i += 3) {
    unsigned char b[4];
    float2rgbe(b, img[i], img[i + 1], img[i + 2]);
    rgbe2float(&out[i], &out[i + 1], &out[i + 2], b);
  }
  return out;
}
Bytes FlatBytes(const std::vector<float> &img) {
  Bytes out;
  for (size_t i = 0; i < img.size(); i += 3) {
    unsigned char b[4];
    float2rgbe(b, img[i], img[i + 1], img[i + 2]);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

Bytes WriteRle(const std::vector<float> &img, int w, int h) {
  FILE *fp = tmpfile();
  StderrCapture cap;
  EXPECT_EQ(RGBE_WritePixels_RLE(fp, img.data(), w, h), 0);
  EXPECT_EQ(cap.Text(), "");
  Bytes b = Contents(fp);
  fclose(fp);
  return b;
}

struct ReadOut {
  int rc;
  std::vector<float> data;
  std::string err;
};
// Reads `npix` pixels (width w) from `bytes` into a buffer of sentinels.
ReadOut ReadRle(const Bytes &bytes, int w, int h, size_t npix = 0) {
  ReadOut r;
  r.data.assign((npix ? npix : (size_t)w * h) * 3, kSentinel);
  FILE *fp = StreamOf(bytes);
  StderrCapture cap;
  r.rc = RGBE_ReadPixels_RLE(fp, r.data.data(), w, h);
  r.err = cap.Text();
  fclose(fp);
  return r;
}

// Independent parse of run-length-encoded scanlines: checks the markers and
// that every packet is one the writer may emit and stays in its plane, and
// returns the pixels' RGBE bytes in file order.
::testing::AssertionResult ParseRle(const Bytes &f, int w, int h, Bytes *pixels) {
  size_t at = 0;
  pixels->clear();
  for (int y = 0; y < h; y++) {
    if (at + 4 > f.size() || f[at] != 2 || f[at + 1] != 2 || f[at + 2] != (w >> 8) ||
        f[at + 3] != (w & 255))
      return ::testing::AssertionFailure() << "no marker at scanline " << y;
    at += 4;
    std::vector<Bytes> planes(4);
    for (auto &plane : planes) {
      while ((int)plane.size() < w) {
        if (at >= f.size()) return ::testing::AssertionFailure() << "truncated";
        const int c = f[at++];
        const int room = w - (int)plane.size();
        if (c >= 130) {
          if (c - 128 > room) return ::testing::AssertionFailure() << "run crosses plane";
          if (at >= f.size()) return ::testing::AssertionFailure() << "truncated run";
          plane.insert(plane.end(), (size_t)(c - 128), f[at++]);
        } else if (c >= 1 && c <= 128) {
          if (c > room) return ::testing::AssertionFailure() << "literal crosses plane";
          if (at + c > f.size()) return ::testing::AssertionFailure() << "truncated literal";
          plane.insert(plane.end(), f.begin() + at, f.begin() + at + c);
          at += c;
        } else {
          return ::testing::AssertionFailure() << "count byte " << c << " from the writer";
        }
      }
    }
    for (int x = 0; x < w; x++)
      for (int k = 0; k < 4; k++) pixels->push_back(planes[k][x]);
  }
  if (at != f.size()) return ::testing::AssertionFailure() << (f.size() - at) << " bytes left";
  return ::testing::AssertionSuccess();
}

// Bytes taken by the first `lines` run-length scanlines of `f`.
size_t RleLength(const Bytes &f, int w, int lines) {
  Bytes pixels;
  for (size_t n = 4; n <= f.size(); n++)
    if (ParseRle(Bytes(f.begin(), f.begin() + n), w, lines, &pixels)) return n;
  return 0;
}

// A scanline whose red plane is `red` and whose other planes are constant:
// green 255 (so the exponent stays put), blue 0, exponent byte 128.
std::vector<float> RedPlanePixels(const Bytes &red) {
  std::vector<float> img;
  for (unsigned char v : red) {
    img.push_back(v / 256.0f);
    img.push_back(255 / 256.0f);
    img.push_back(0.0f);
  }
  return img;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Repeat(int n, unsigned char v) { return Bytes((size_t)n, v); }

TEST(RgbeRleWriter, PlaneEncoderPackets) {
  struct {
    Bytes plane;    // the red plane; any padding is a long run of 0
    Bytes packets;  // expected red-plane packets, worked out by hand
  } cases[] = {
      {{5, 5, 5, 5, 5, 1, 2, 3, 7, 7}, {133, 5, 5, 1, 2, 3, 7, 7}},
      {{9, 9, 4, 4, 4, 4, 0, 0, 0, 0}, {130, 9, 132, 4, 132, 0}},
      {{9, 9, 9, 0, 0, 0, 0, 0}, {131, 9, 133, 0}},
      {{1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0}, {131, 1, 132, 2, 132, 0}},
      {{1, 2, 0, 0, 0, 0, 0, 0}, {2, 1, 2, 134, 0}},
      {Repeat(8, 77), {136, 77}},
      // Short runs: inside a literal unless they reach the next long run or
      // the end of the plane.
      {{4, 4, 6, 6, 6, 1, 1, 1, 1, 8, 8}, {5, 4, 4, 6, 6, 6, 132, 1, 130, 8}},
      {{3, 1, 2, 2, 2, 2, 2, 2, 9, 9}, {2, 3, 1, 134, 2, 130, 9}},
  };
  for (const auto &c : cases) {
    const int w = (int)c.plane.size();
    const Bytes got = WriteRle(RedPlanePixels(c.plane), w, 1);
    const unsigned char n = (unsigned char)(128 + w);
    const Bytes want = Cat({{2, 2, 0, (unsigned char)w}, c.packets, {n, 255}, {n, 0}, {n, 128}});
    EXPECT_EQ(got, want) << "plane of width " << w;
  }

  // 200 bytes of 3, then 140 with no two neighbours equal: runs of 127 and
  // 73, then literals of 128 and 12.
  Bytes plane = Repeat(200, 3);
  for (int i = 0; i < 140; i++) plane.push_back((unsigned char)(10 + i % 2));
  Bytes red = {255, 3, 201, 3, 128};
  red.insert(red.end(), plane.begin() + 200, plane.begin() + 328);
  red.push_back(12);
  red.insert(red.end(), plane.begin() + 328, plane.end());
  const Bytes got = WriteRle(RedPlanePixels(plane), 340, 1);
  // Constant planes of 340: runs of 127, 127 and 86.
  auto constant = [](unsigned char v) { return Bytes{255, v, 255, v, 128 + 86, v}; };
  EXPECT_EQ(got, Cat({{2, 2, 1, 84}, red, constant(255), constant(0), constant(128)}));
}

TEST(RgbeRleWriter, FormChosenByWidthAndRoundTrip) {
  for (int w : {7, 8, 9, 300, 32767, 32768}) {
    const int h = w > 1000 ? 2 : 5;
    const std::vector<float> img = Scene(w, h, (unsigned)w);
    const Bytes file = WriteRle(img, w, h);
    if (w < 8 || w > 32767) {
      EXPECT_EQ(file, FlatBytes(img)) << w;
    } else {
      Bytes pixels;
      EXPECT_TRUE(ParseRle(file, w, h, &pixels)) << w;
      EXPECT_EQ(pixels, FlatBytes(img)) << w;
    }
    const ReadOut r = ReadRle(file, w, h);
    EXPECT_EQ(r.rc, 0) << w;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.data == PixelRoundTrip(img)) << w;
  }
  // Eight equal pixels: the marker and one run packet per plane.
  const std::vector<float> same = {1.0f, 0.5f, 0.25f, 1.0f, 0.5f, 0.25f, 1.0f, 0.5f, 0.25f,
                                   1.0f, 0.5f, 0.25f, 1.0f, 0.5f, 0.25f, 1.0f, 0.5f, 0.25f,
                                   1.0f, 0.5f, 0.25f, 1.0f, 0.5f, 0.25f};
  EXPECT_EQ(WriteRle(same, 8, 1), (Bytes{2, 2, 0, 8, 136, 128, 136, 64, 136, 32, 136, 129}));
}

TEST(RgbeRleWriter, NothingToWriteAndWriteErrors) {
  const std::vector<float> img = Scene(16, 3, 7);
  for (auto wh : {std::pair<int, int>{16, 0}, {16, -2}, {0, 3}, {-16, 3}, {5, 0}}) {
    FILE *fp = tmpfile();
    EXPECT_EQ(RGBE_WritePixels_RLE(fp, img.data(), wh.first, wh.second), 0);
    EXPECT_EQ(RGBE_WritePixels(fp, img.data(), wh.second <= 0 ? wh.second : -3), 0);
    EXPECT_EQ(ftell(fp), 0);
    fclose(fp);
  }

  const std::string werr = std::string("RGBE write error: ") + strerror(ENOSPC) + "\n";
  // Each case fails when the sink is full: what went out before stays.
  auto write_limited = [&](size_t limit, bool rle, Bytes *kept) {
    LimitedSink sink{limit, {}};
    FILE *fp = OpenLimitedSink(&sink);
    StderrCapture cap;
    const int rc = rle ? RGBE_WritePixels_RLE(fp, img.data(), 16, 3)
                       : RGBE_WritePixels(fp, img.data(), 16 * 3);
    EXPECT_EQ(cap.Text(), werr) << limit;
    fclose(fp);
    *kept = sink.data;
    return rc;
  };
  const Bytes full = WriteRle(img, 16, 3);
  const Bytes flat = FlatBytes(img);
  const size_t second = RleLength(full, 16, 1);  // where scanline two begins
  ASSERT_GT(second, 4u);
  Bytes kept;
  for (size_t limit : {(size_t)0, (size_t)4, second}) {
    EXPECT_EQ(write_limited(limit, true, &kept), -1) << limit;
    EXPECT_EQ(kept, Bytes(full.begin(), full.begin() + limit)) << limit;
  }
  EXPECT_EQ(write_limited(10, false, &kept), -1);
  EXPECT_EQ(kept, Bytes(flat.begin(), flat.begin() + 8));
}

TEST(RgbeRleReader, FlatDataThroughTheRunLengthReader) {
  // A flat picture of a run-length width is read whole; its first pixel is
  // the four bytes already taken for a possible marker.
  const std::vector<float> img = Scene(20, 4, 3);
  ReadOut r = ReadRle(FlatBytes(img), 20, 4);
  EXPECT_EQ(r.rc, 0);
  EXPECT_TRUE(r.data == PixelRoundTrip(img));

  // Run-length scanlines, then the rest flat.
  const Bytes two = WriteRle(std::vector<float>(img.begin(), img.begin() + 2 * 20 * 3), 20, 2);
  const Bytes rest = FlatBytes(std::vector<float>(img.begin() + 2 * 20 * 3, img.end()));
  r = ReadRle(Cat({two, rest}), 20, 4);
  EXPECT_EQ(r.rc, 0);
  EXPECT_TRUE(r.data == PixelRoundTrip(img));

  // Below 8 and above 32767 the reader never looks for a marker.
  for (int w : {7, 32768}) {
    Bytes flat = Cat({{2, 2, 0, 7}, Repeat(4 * (w - 1), 0)});
    r = ReadRle(flat, w, 1);
    EXPECT_EQ(r.rc, 0) << w;
    EXPECT_EQ(r.data[0], std::ldexp(1.0f, -128)) << w;
    EXPECT_EQ(r.data[1], std::ldexp(1.0f, -128)) << w;
    EXPECT_EQ(r.data[2], kFloor) << w;
    EXPECT_EQ(r.data[3], kFloor) << w;
  }

  // A flat pixel of red and green 2 and blue below 128 looks like a marker.
  Bytes looks = Cat({{2, 2, 0, 9}, Repeat(4 * 19, 0x80)});
  r = ReadRle(looks, 20, 1);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, FormatError("wrong scanline width"));
  EXPECT_EQ(r.data, std::vector<float>(60, kSentinel));
  // Blue with its top bit set does not.
  looks[2] = 0x80;
  r = ReadRle(looks, 20, 1);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.data[0], 2.0f * std::ldexp(1.0f, 9 - 136));
  EXPECT_EQ(r.data[2], 128.0f * std::ldexp(1.0f, 9 - 136));
}

// A scanline of width 8, marker included, from the packets of its planes.
Bytes Line8(std::initializer_list<Bytes> planes) {
  Bytes out = {2, 2, 0, 8};
  for (const Bytes &p : planes) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes kGreen = {136, 200}, kBlue = {136, 0}, kExp = {136, 128};

TEST(RgbeRleReader, PacketsTakenAndRefused) {
  // Red plane: a run of one (129), a literal of 3, a run of 4 filling it.
  const Bytes good = Line8({{129, 10, 3, 20, 30, 40, 132, 50}, kGreen, kBlue, kExp});
  ReadOut r = ReadRle(good, 8, 1);
  ASSERT_EQ(r.rc, 0) << r.err;
  const int red[8] = {10, 20, 30, 40, 50, 50, 50, 50};
  for (int x = 0; x < 8; x++) {
    EXPECT_EQ(r.data[3 * x], red[x] / 256.0f);
    EXPECT_EQ(r.data[3 * x + 1], 200 / 256.0f);
    EXPECT_EQ(r.data[3 * x + 2], kFloor);
  }
  // Literals filling each plane exactly, and a literal of 1.
  const Bytes lits = Line8({{8, 1, 2, 3, 4, 5, 6, 7, 8},
                            {1, 9, 7, 9, 9, 9, 9, 9, 9, 9},
                            {136, 0},
                            {4, 129, 129, 129, 129, 132, 129}});
  r = ReadRle(lits, 8, 1);
  ASSERT_EQ(r.rc, 0) << r.err;
  for (int x = 0; x < 8; x++) {
    EXPECT_EQ(r.data[3 * x], (x + 1) / 128.0f);
    EXPECT_EQ(r.data[3 * x + 1], 9 / 128.0f);
  }

  // Refused: count 0, a run or literal longer than the room left, in the
  // first plane or a later one. The first scanline is good and stays.
  const Bytes refused[] = {
      Line8({{0, 10, 135, 10}, kGreen, kBlue, kExp}),
      Line8({{137, 10}, kGreen, kBlue, kExp}),
      Line8({{9, 1, 2, 3, 4, 5, 6, 7, 8, 9}, kGreen, kBlue, kExp}),
      Line8({{5, 1, 2, 3, 4, 5, 4, 1, 2, 3, 4}, kGreen, kBlue, kExp}),
      Line8({{5, 1, 2, 3, 4, 5, 132, 1}, kGreen, kBlue, kExp}),
      Line8({kGreen, kGreen, kBlue, {135, 128, 130, 128}}),
      Line8({kGreen, {255, 200}, kBlue, kExp}),
  };
  for (const Bytes &bad : refused) {
    r = ReadRle(Cat({good, bad, good}), 8, 3);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, FormatError("bad scanline data"));
    EXPECT_EQ(r.data[0], 10 / 256.0f);
    EXPECT_EQ(r.data[3 * 7], 50 / 256.0f);
    EXPECT_EQ(std::vector<float>(r.data.begin() + 24, r.data.end()),
              std::vector<float>(48, kSentinel));
  }

  // A marker of another width, also after good scanlines.
  r = ReadRle(Cat({good, {2, 2, 0, 9}, good}), 8, 3);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, FormatError("wrong scanline width"));
  EXPECT_EQ(r.data[3 * 7], 50 / 256.0f);
  EXPECT_EQ(r.data[24], kSentinel);
  r = ReadRle(Cat({{2, 2, 1, 8}, good}), 8, 1);
  EXPECT_EQ(r.err, FormatError("wrong scanline width"));
}

TEST(RgbeRleReader, EndOfFileInsideAScanline) {
  const std::vector<float> img = Scene(40, 3, 11);
  const Bytes file = WriteRle(img, 40, 3);
  const std::vector<float> want = PixelRoundTrip(img);
  const size_t second = RleLength(file, 40, 1), third = RleLength(file, 40, 2);
  ASSERT_GT(second, 4u);
  ASSERT_GT(third, second);
  // Cuts inside the marker, right after it, inside packets of the first
  // scanline, and the same in the later ones.
  for (size_t cut : {(size_t)0, (size_t)2, (size_t)4, (size_t)5, (size_t)6, second - 1, second + 2,
                     second + 4, second + 9, third + 1, file.size() - 1}) {
    ReadOut r = ReadRle(Bytes(file.begin(), file.begin() + cut), 40, 3);
    EXPECT_EQ(r.rc, -1) << cut;
    EXPECT_PERROR_LINE(r.err, "RGBE read error");
    const size_t done = (cut >= third ? 2 : cut >= second ? 1 : 0) * 40 * 3;
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + done, r.data.begin())) << cut;
    EXPECT_EQ(r.data[done], kSentinel) << cut;
  }
  // The flat reader keeps the whole pixels it read.
  const Bytes flat = FlatBytes(img);
  ReadOut r = ReadRle(Bytes(flat.begin(), flat.begin() + 4 * 50 + 3), 40, 3);
  EXPECT_EQ(r.rc, -1);
  EXPECT_PERROR_LINE(r.err, "RGBE read error");
  EXPECT_TRUE(std::equal(want.begin(), want.begin() + 150, r.data.begin()));
  EXPECT_EQ(r.data[150], kSentinel);
  r = ReadRle(Bytes(flat.begin(), flat.begin() + 4 * 5 + 2), 5, 2);
  EXPECT_EQ(r.rc, -1);
  EXPECT_TRUE(std::equal(want.begin(), want.begin() + 15, r.data.begin()));
  EXPECT_EQ(r.data[15], kSentinel);

  // Nothing to read: no bytes consumed, result 0.
  for (auto wh : {std::pair<int, int>{40, 0}, {40, -1}, {0, 3}, {-8, 2}, {5, 0}}) {
    FILE *fp = StreamOf(file);
    float dummy[3] = {kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(RGBE_ReadPixels_RLE(fp, dummy, wh.first, wh.second), 0);
    EXPECT_EQ(RGBE_ReadPixels(fp, dummy, wh.second <= 0 ? wh.second : -3), 0);
    EXPECT_EQ(ftell(fp), 0);
    EXPECT_EQ(dummy[0], kSentinel);
    fclose(fp);
  }
}

}  // namespace
