// Test helper: the .hdr picture that Halvorn's own codec writes from float
// pixels, the reference a movie record of an OpenEXR or PFM picture must
// match.
//
//   hdr_writer W H IN.f32 OUT.hdr
//
// IN.f32 holds W x H pixels, top row first, red, green and blue each a
// little-endian float32. The picture is written with RGBE_WriteHeader and
// RGBE_WritePixels_RLE, as any RGBE picture of that size is.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rgbe.h"

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s W H IN.f32 OUT.hdr\n", argv[0]);
    return 2;
  }
  const int w = atoi(argv[1]), h = atoi(argv[2]);
  std::vector<float> pixels(3 * (size_t)w * (size_t)h);
  FILE *in = fopen(argv[3], "rb");
  if (in == nullptr || fread(pixels.data(), sizeof(float), pixels.size(), in) != pixels.size()) {
    fprintf(stderr, "cannot read %zu floats from %s\n", pixels.size(), argv[3]);
    return 2;
  }
  fclose(in);
  FILE *out = fopen(argv[4], "wb");
  if (out == nullptr || RGBE_WriteHeader(out, w, h, nullptr) != 0 ||
      RGBE_WritePixels_RLE(out, pixels.data(), w, h) != 0 || fclose(out) != 0) {
    fprintf(stderr, "cannot write %s\n", argv[4]);
    return 1;
  }
  return 0;
}
