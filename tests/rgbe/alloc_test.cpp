// The scanline functions when their buffer cannot be allocated. This program
// is linked with --wrap=malloc, so the codec's malloc calls come here and
// can be refused one size at a time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "rgbe.h"
#include "rgbe_testio.h"

extern "C" void *__real_malloc(size_t size);

namespace {
size_t refused_size = 0;  // 0: allocate everything
int refusals = 0;
}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
  if (refused_size != 0 && size == refused_size) {
    refusals++;
    return nullptr;
  }
  return __real_malloc(size);
}

namespace {

struct Refuse {
  explicit Refuse(size_t size) {
    refused_size = size;
    refusals = 0;
  }
  ~Refuse() { refused_size = 0; }
};

std::vector<float> Gradient(int w, int h) {
  std::vector<float> img;
  for (int i = 0; i < w * h; i++) {
    img.push_back(0.01f * (i % 17) + 0.5f);
    img.push_back(0.25f);
    img.push_back(i % 5 == 0 ? 0.0f : 2.0f);
  }
  return img;
}

TEST(RgbeAlloc, WriterFallsBackToFlatSilently) {
  const int w = 24, h = 3;
  const std::vector<float> img = Gradient(w, h);
  Bytes flat;
  for (int i = 0; i < w * h; i++) {
    unsigned char b[4];
    float2rgbe(b, img[3 * i], img[3 * i + 1], img[3 * i + 2]);
    flat.insert(flat.end(), b, b + 4);
  }
  FILE *fp = tmpfile();
  StderrCapture cap;
  int rc;
  {
    Refuse r(4 * w);
    rc = RGBE_WritePixels_RLE(fp, img.data(), w, h);
    EXPECT_EQ(refusals, 1);
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(cap.Text(), "");
  EXPECT_EQ(Contents(fp), flat);
  fclose(fp);
}

TEST(RgbeAlloc, ReaderReportsAtTheFirstRunLengthScanline) {
  const int w = 24, h = 3;
  const std::vector<float> img = Gradient(w, h);
  FILE *fp = tmpfile();
  ASSERT_EQ(RGBE_WritePixels_RLE(fp, img.data(), w, h), 0);
  rewind(fp);
  std::vector<float> out(img.size(), -1.0f);
  StderrCapture cap;
  int rc;
  {
    Refuse r(4 * w);
    rc = RGBE_ReadPixels_RLE(fp, out.data(), w, h);
  }
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(cap.Text(), "RGBE error: unable to allocate buffer space\n");
  EXPECT_EQ(out, std::vector<float>(img.size(), -1.0f));
  fclose(fp);

  // Flat data needs no scanline buffer.
  fp = tmpfile();
  ASSERT_EQ(RGBE_WritePixels(fp, img.data(), w * h), 0);
  rewind(fp);
  {
    Refuse r(4 * w);
    EXPECT_EQ(RGBE_ReadPixels_RLE(fp, out.data(), w, h), 0);
    EXPECT_EQ(refusals, 0);
  }
  for (int i = 0; i < w * h; i++) {
    unsigned char b[4];
    float want[3];
    float2rgbe(b, img[3 * i], img[3 * i + 1], img[3 * i + 2]);
    rgbe2float(&want[0], &want[1], &want[2], b);
    EXPECT_EQ(out[3 * i], want[0]);
    EXPECT_EQ(out[3 * i + 2], want[2]);
  }
  fclose(fp);
}

}  // namespace
