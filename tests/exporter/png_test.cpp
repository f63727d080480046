// PNG pictures written by the export core, read back by an independent
// reader (stb_image): every sample at both depths, any size.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include "stb_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exporter.h"

namespace {

void RoundTrip(int width, int height, int depth, unsigned seed) {
  SCOPED_TRACE(testing::Message() << width << " x " << height << ", " << depth << " bits");
  const size_t bytes = depth == 16 ? 2 : 1, stride = 3 * (size_t)width * bytes;
  std::vector<unsigned char> samples(stride * (size_t)height);
  std::mt19937 random(seed);
  // Runs of equal bytes and noise, as pictures have.
  for (size_t i = 0; i < samples.size(); i++) samples[i] = (unsigned char)(i % 97 < 40 ? i / 97 : random());
  const std::string path = ::testing::TempDir() + "exporter_png_" + std::to_string(getpid()) + ".png";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  std::string error;
  ASSERT_EQ(WritePng(fd, width, height, depth, samples.data(), stride, &error), 0) << error;
  ASSERT_EQ(close(fd), 0);
  int w = 0, h = 0, channels = 0;
  EXPECT_EQ(stbi_is_16_bit(path.c_str()), depth == 16 ? 1 : 0);
  if (depth == 16) {
    stbi_us *pixels = stbi_load_16(path.c_str(), &w, &h, &channels, 0);
    ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, height);
    ASSERT_EQ(channels, 3);
    for (size_t i = 0; i < samples.size() / 2; i++)
      ASSERT_EQ(pixels[i], samples[2 * i] << 8 | samples[2 * i + 1]) << "sample " << i;
    stbi_image_free(pixels);
  } else {
    stbi_uc *pixels = stbi_load(path.c_str(), &w, &h, &channels, 0);
    ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, height);
    ASSERT_EQ(channels, 3);
    for (size_t i = 0; i < samples.size(); i++) ASSERT_EQ(pixels[i], samples[i]) << "sample " << i;
    stbi_image_free(pixels);
  }
  unlink(path.c_str());
}

}  // namespace

TEST(Png, SamplesReadBackByStbImage) {
  RoundTrip(16, 16, 8, 1);
  RoundTrip(17, 3, 8, 2);
  RoundTrip(16, 16, 16, 3);
  // Larger than the writer's buffer, so that it is emptied many times.
  RoundTrip(1000, 700, 8, 4);
  RoundTrip(640, 480, 16, 5);
}
