// Checks a movie file against its source pictures as stb_image decodes them.
//
//   stb_movie_check MOVIE EYES PICTURE...
//
// The pictures are the ones the movie was built from, in list order (with two
// eyes: left, right, left, right, ...). The movie must hold exactly one
// record per picture behind a header of the pictures' size. Every record is
// decoded here with the plain RGBE rule (mantissa x 2^(exponent - 136),
// exponent 0 and mantissa 0 give 0) and compared with stb_image's floats of
// the same picture, rows in reverse order. The builder floors every
// component at 1e-6 before encoding again, so stb's zeros stand for 1e-6
// here: where that floor cannot show in the encoding (the pixel's largest
// component is far above it) the decoded record must equal stb's floats
// exactly; for the darkest pixels it must lie within one mantissa step of the
// floored colour. The two statistics of each record are computed here from
// the floored floats in double precision and compared with the record's.
//
// Prints one line per record and exits 0 when everything matched, 1 (with
// the first mismatches) when not, 2 on a usage or reading problem.
#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const float FLOOR = 1e-6f;
// Above this largest component a floored component encodes as mantissa 0.
const double FLOOR_INVISIBLE = 1.0 / 2048.0;

struct Header {
  int16_t width, height;
  uint8_t format, eyes, pad[2];
  int32_t nframes;
};
static_assert(sizeof(Header) == 12, "12-byte movie header");

bool close_enough(double got, double want) {
  return std::fabs(got - want) <= 1e-12 * std::fabs(want);
}

double decode(unsigned char mantissa, unsigned char exponent) {
  if (exponent == 0 || mantissa == 0) return 0.0;
  return std::ldexp((double)mantissa, (int)exponent - 136);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s MOVIE EYES PICTURE...\n", argv[0]);
    return 2;
  }
  const int eyes = atoi(argv[2]);
  const int npictures = argc - 3;
  FILE *movie = fopen(argv[1], "rb");
  if (movie == nullptr) {
    perror(argv[1]);
    return 2;
  }
  Header h;
  if (fread(&h, sizeof(h), 1, movie) != 1) {
    fprintf(stderr, "%s: no header\n", argv[1]);
    return 2;
  }
  int failures = 0;
  auto fail = [&](const char *what) {
    if (failures++ < 20) fprintf(stderr, "MISMATCH %s\n", what);
  };
  if (h.format != 48) fail("header format is not 48");
  if (h.eyes != eyes) fail("header eyes");
  if (h.nframes != npictures / eyes) fail("header nframes");

  char text[512];
  for (int k = 0; k < npictures; k++) {
    const char *name = argv[3 + k];
    int w = 0, hgt = 0, comp = 0;
    float *stb = stbi_loadf(name, &w, &hgt, &comp, 3);
    if (stb == nullptr) {
      fprintf(stderr, "%s: stb_image cannot read it: %s\n", name, stbi_failure_reason());
      return 2;
    }
    if (w != h.width || hgt != h.height) {
      snprintf(text, sizeof(text), "%s is %d x %d, the movie %d x %d", name, w, hgt, h.width, h.height);
      fail(text);
      stbi_image_free(stb);
      break;
    }
    const size_t npixels = (size_t)w * (size_t)hgt;
    double stats[2];
    std::vector<unsigned char> pixels(4 * npixels);
    if (fread(stats, sizeof(stats), 1, movie) != 1 || fread(pixels.data(), 1, pixels.size(), movie) != pixels.size()) {
      snprintf(text, sizeof(text), "record %d (%s) is missing or short", k, name);
      fail(text);
      stbi_image_free(stb);
      break;
    }

    // Statistics over the floored floats, in the picture's own row order.
    double maxLum = 0.0, sum = 0.0;
    for (size_t i = 0; i < npixels; i++) {
      double c[3];
      for (int j = 0; j < 3; j++) c[j] = stb[3 * i + j] > 0.0f ? stb[3 * i + j] : FLOOR;
      const double L = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
      if (L > maxLum) maxLum = L;
      sum += std::log(L + 0.000023);
    }
    const double logAv = std::exp(sum / (double)npixels);
    if (!close_enough(stats[0], maxLum)) {
      snprintf(text, sizeof(text), "record %d (%s): maxLum %.17g, expected %.17g", k, name, stats[0], maxLum);
      fail(text);
    }
    if (!close_enough(stats[1], logAv)) {
      snprintf(text, sizeof(text), "record %d (%s): logAv %.17g, expected %.17g", k, name, stats[1], logAv);
      fail(text);
    }

    size_t exact = 0, dark = 0, bad = 0;
    for (int y = 0; y < hgt; y++) {
      const float *src = stb + 3 * (size_t)(hgt - 1 - y) * (size_t)w;  // record rows run bottom up
      const unsigned char *rec = pixels.data() + 4 * (size_t)y * (size_t)w;
      for (int x = 0; x < w; x++, src += 3, rec += 4) {
        double floored[3], got[3], largest = 0.0;
        for (int j = 0; j < 3; j++) {
          floored[j] = src[j] > 0.0f ? src[j] : FLOOR;
          if (floored[j] > largest) largest = floored[j];
          got[j] = decode(rec[j], rec[3]);
        }
        bool ok = true;
        if (largest >= FLOOR_INVISIBLE) {
          for (int j = 0; j < 3; j++) ok = ok && got[j] == (double)src[j];
          exact++;
        } else {
          ok = rec[3] != 0;
          for (int j = 0; j < 3; j++) ok = ok && std::fabs(got[j] - floored[j]) <= largest / 128.0;
          dark++;
        }
        if (!ok) {
          bad++;
          snprintf(text, sizeof(text),
                   "record %d (%s) row %d col %d: %u %u %u %u decodes to %.9g %.9g %.9g, stb %.9g %.9g %.9g", k,
                   name, y, x, rec[0], rec[1], rec[2], rec[3], got[0], got[1], got[2], src[0], src[1], src[2]);
          fail(text);
        }
      }
    }
    printf("record %d %s: %zu pixels equal to stb, %zu dark pixels within the floor, %zu wrong; maxLum %.6f logAv %.6f\n",
           k, name, exact, dark, bad, maxLum, logAv);
    stbi_image_free(stb);
  }
  if (fgetc(movie) != EOF) fail("the movie holds more than the records of its pictures");
  fclose(movie);
  if (failures) {
    fprintf(stderr, "%d mismatches\n", failures);
    return 1;
  }
  return 0;
}
