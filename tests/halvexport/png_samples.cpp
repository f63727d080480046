// Reads a PNG with stb_image, an independent reader, and prints its samples:
//
//   png_samples FILE
//
// writes "WIDTH HEIGHT CHANNELS BITS\n" and then the samples, top row first,
// 16-bit ones most significant byte first, to the standard output. Exits 0,
// or 2 (with stb_image's reason) when the file cannot be read as a PNG.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include "stb_image.h"

#include <cstdio>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  int width = 0, height = 0, channels = 0;
  const int sixteen = stbi_is_16_bit(argv[1]);
  std::vector<unsigned char> out;
  if (sixteen) {
    stbi_us *pixels = stbi_load_16(argv[1], &width, &height, &channels, 0);
    if (!pixels) {
      fprintf(stderr, "%s: %s\n", argv[1], stbi_failure_reason());
      return 2;
    }
    const size_t n = (size_t)width * height * channels;
    for (size_t i = 0; i < n; i++) {
      out.push_back((unsigned char)(pixels[i] >> 8));
      out.push_back((unsigned char)(pixels[i] & 255));
    }
    stbi_image_free(pixels);
  } else {
    stbi_uc *pixels = stbi_load(argv[1], &width, &height, &channels, 0);
    if (!pixels) {
      fprintf(stderr, "%s: %s\n", argv[1], stbi_failure_reason());
      return 2;
    }
    out.assign(pixels, pixels + (size_t)width * height * channels);
    stbi_image_free(pixels);
  }
  printf("%d %d %d %d\n", width, height, channels, sixteen ? 16 : 8);
  fflush(stdout);
  return fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 2;
}
