// The codec against independent implementations: pictures written by
// ImageMagick's convert are read through the codec and through stb_image,
// and pictures the codec writes are read back by stb_image. stb gives 0
// where the codec gives its 1e-6 floor; every other value must be equal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "rgbe.h"
#include "rgbe_testio.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_HDR
#include "stb_image.h"
#pragma GCC diagnostic pop

#ifndef IM_CONVERT
#error "IM_CONVERT must name ImageMagick's convert"
#endif

namespace {

const float kFloor = 9.99999997e-07f;

class Interop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/rgbe-interop-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  static void TearDownTestSuite() {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
  }
  static std::string Path(const std::string &name) { return dir_ + "/" + name; }
  static std::string dir_;
};
std::string Interop::dir_;

struct Picture {
  int rc = -1;
  int width = 0, height = 0;
  RGBE_PictureInfo info{};
  bool rle = false;  // the data opened with a scanline marker
  std::vector<float> data;
  std::string err;
};

Picture ReadWithCodec(const std::string &path) {
  Picture p;
  FILE *fp = fopen(path.c_str(), "rb");
  if (!fp) return p;
  StderrCapture cap;
  p.rc = RGBE_ReadHeader(fp, &p.width, &p.height, &p.info);
  if (p.rc == 0 && p.width > 0 && p.height > 0) {
    const long pos = ftell(fp);
    const int a = fgetc(fp), b = fgetc(fp);
    p.rle = a == 2 && b == 2;
    fseek(fp, pos, SEEK_SET);
    p.data.assign((size_t)p.width * p.height * 3, -1.0f);
    p.rc = RGBE_ReadPixels_RLE(fp, p.data.data(), p.width, p.height);
  }
  p.err = cap.Text();
  fclose(fp);
  return p;
}

// Compares every component with stb's decoding of the same file.
void ExpectSameAsStb(const std::string &path, const Picture &p) {
  int w = 0, h = 0, n = 0;
  float *stb = stbi_loadf(path.c_str(), &w, &h, &n, 3);
  ASSERT_NE(stb, nullptr) << stbi_failure_reason();
  ASSERT_EQ(w, p.width);
  ASSERT_EQ(h, p.height);
  size_t mismatches = 0, floors = 0;
  for (size_t i = 0; i < (size_t)w * h * 3; i++) {
    const float s = stb[i], c = p.data[i];
    if (s == 0.0f && c == kFloor) {
      floors++;
    } else if (s != c) {
      if (mismatches++ < 5)
        ADD_FAILURE() << path << ": component " << i << " codec " << c << " stb " << s;
    }
  }
  EXPECT_EQ(mismatches, 0u) << path;
  stbi_image_free(stb);
}

TEST_F(Interop, ImageMagickPicturesReadLikeStb) {
  struct {
    const char *name;
    int w, h;
    const char *args;
  } cases[] = {
      {"tiny.hdr", 5, 4, "-size 5x4 gradient:red-blue -seed 3 -attenuate 3 +noise Gaussian"},
      {"narrow.hdr", 8, 9, "-size 8x9 gradient:white-black -seed 4 +noise Uniform"},
      {"ramp.hdr", 130, 6, "-size 130x6 gradient:yellow-navy"},
      {"mixed.hdr", 300, 40,
       "-size 300x40 gradient:red-black \\( -size 150x40 xc:gray40 -seed 5 -attenuate 4 "
       "+noise Gaussian \\) -gravity east -composite -fill black -draw 'rectangle 0,0 40,39'"},
      {"wide.hdr", 1100, 3, "-size 1100x3 plasma:red-blue -seed 6 +noise Impulse"},
  };
  for (const auto &c : cases) {
    const std::string path = Path(c.name);
    const std::string cmd = std::string(IM_CONVERT) + " " + c.args + " '" + path + "'";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    const Picture p = ReadWithCodec(path);
    ASSERT_EQ(p.rc, 0) << c.name << ": " << p.err;
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.width, c.w);
    EXPECT_EQ(p.height, c.h);
    // Its GAMMA and PRIMARIES lines stand before the format line.
    EXPECT_EQ(p.info.flags, RGBE_HAS_PROGRAM);
    EXPECT_STREQ(p.info.program, "RADIANCE");
    EXPECT_EQ(p.rle, c.w >= 8) << c.name;
    ExpectSameAsStb(path, p);
  }
}

TEST_F(Interop, CodecPicturesReadByStb) {
  for (int w : {7, 8, 300, 2000}) {
    const int h = 13;
    const std::vector<float> img = Scene(w, h, 99u + w);
    const std::string path = Path("codec" + std::to_string(w) + ".hdr");
    FILE *fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(RGBE_WriteHeader(fp, w, h, nullptr), 0);
    ASSERT_EQ(RGBE_WritePixels_RLE(fp, img.data(), w, h), 0);
    ASSERT_EQ(fclose(fp), 0);
    const Picture p = ReadWithCodec(path);
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.rle, w >= 8);
    ExpectSameAsStb(path, p);
  }
}

}  // namespace
