// One picture: read it through the codec, compute its scene statistics,
// encode it again and append its record to the movie, bottom row first.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "halvpack.h"
#include "rgbe.h"
#include "utility.h"

namespace {

int picwidth, picheight;      // size line of the picture read last
RGBE_PictureInfo picinfo;     // its header values (read, not used)
double maxLum, logAv;         // statistics of the picture read last
float *scene;                 // the decoded picture, picture row order
unsigned char *rgbe_image;    // the picture encoded again, bottom row first

// Bits of the smallest float that float2rgbe does not cut off as black
// (at least 1e-32 when compared in double). Non-negative finite floats
// order as their bits do.
uint32_t CutoffBits() {
  float f = (float)1e-32;
  if ((double)f < 1e-32) f = nextafterf(f, INFINITY);
  uint32_t bits;
  memcpy(&bits, &f, sizeof(bits));
  return bits;
}
const uint32_t CUTOFF_BITS = CutoffBits();

// float2rgbe's encoding of one colour, worked out from the bits of the
// floats for the colours that the decoder delivers. When the largest of the
// three bit patterns lies below 0x7f000000 every component is finite, has no
// sign bit and is below 2^127 (binary exponent E at most 253), and the
// largest of them is the largest component v; when it is also at least
// CUTOFF_BITS, v is a normal float that is not cut off. frexp then gives
// the exponent E - 126, stored as E + 2, and the scale 2^(134 - E) turns a
// component with significand S (implicit bit included) and binary exponent
// Ec into S x 2^(Ec - E - 16): its integer part is S shifted right by
// E - Ec + 16, at least 16, and 0 from a shift of 24 on (subnormals count as
// Ec = 1 without the implicit bit). Every other colour goes to float2rgbe
// itself.
inline void EncodePixel(unsigned char rgbe[4], const uint32_t bits[3]) {
  const uint32_t largest = std::max(bits[0], std::max(bits[1], bits[2]));
  if (largest >= 0x7f000000u || largest < CUTOFF_BITS) {
    float c[3];
    memcpy(c, bits, sizeof(c));
    float2rgbe(rgbe, c[0], c[1], c[2]);
    return;
  }
  const uint32_t e = largest >> 23;
  for (int j = 0; j < 3; j++) {
    const uint32_t ec = bits[j] >> 23, normal = ec != 0;
    const uint32_t significand = (bits[j] & 0x7fffff) | (normal << 23);
    const uint32_t shift = e - (ec + (1 - normal)) + 16;
    rgbe[j] = (unsigned char)(significand >> std::min(shift, 31u));
  }
  rgbe[3] = (unsigned char)(e + 2);
}

// What the statistics and the encoding need of one colour.
struct Colour {
  uint32_t bits[3];  // the three floats' bits
  unsigned char rgbe[4];
  double lum;  // 0.2126 R + 0.7152 G + 0.0722 B
  double log;  // log(lum + 0.000023)
};

void Describe(Colour &c, const uint32_t bits[3]) {
  float f[3];
  memcpy(f, bits, sizeof(f));
  memcpy(c.bits, bits, sizeof(c.bits));
  c.lum = 0.2126 * (double)f[0] + 0.7152 * (double)f[1] + 0.0722 * (double)f[2];
  c.log = log(c.lum + 0.000023);
  EncodePixel(c.rgbe, bits);
}

// Colours seen before, by a hash of their bits. A decoded picture holds
// few distinct colours as a rule (the RGBE quantisation makes neighbouring
// shades equal), so most pixels find theirs here instead of computing a
// logarithm and an encoding again. Every slot always holds a colour with its
// true values (at first black, all bits 0), so a slot whose bits match is
// right whatever picture put it there. 8192 slots of 32 bytes.
constexpr int COLOUR_BITS = 13;
Colour colours[1 << COLOUR_BITS];
bool colours_ready = false;
Colour fresh;  // the colour last computed without the table

inline bool Differ(const uint32_t a[3], const uint32_t b[3]) {
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2])) != 0;
}

// Statistics and encoding of one row of pixels, in order. A run of equal
// pixels takes its values from the first of the run (`last`); other pixels
// look their colour up in the table (kTable) or have it computed. Returns
// the number of colours computed.
template <bool kTable>
size_t ConvertRow(const float *p, unsigned char *out, size_t width, const Colour *&last, double &sum) {
  size_t computed = 0;
  double top = maxLum;
  for (size_t x = 0; x < width; x++, p += 3, out += 4) {
    uint32_t bits[3];
    memcpy(bits, p, sizeof(bits));
    if (Differ(bits, last->bits)) {
      if (kTable) {
        const uint32_t h = (bits[0] * 0x9E3779B1u) ^ (bits[1] * 0x85EBCA77u) ^ (bits[2] * 0xC2B2AE3Du);
        Colour &slot = colours[h >> (32 - COLOUR_BITS)];
        if (Differ(bits, slot.bits)) {
          Describe(slot, bits);
          computed++;
        }
        last = &slot;
      } else {
        Describe(fresh, bits);
        computed++;
        last = &fresh;
      }
    }
    if (last->lum > top) top = last->lum;
    sum += last->log;
    memcpy(out, last->rgbe, 4);
  }
  maxLum = top;
  return computed;
}

}  // namespace

int LoadScene(const char *name) {
  maxLum = 0.0;
  double sum = 0.0;

  FILE *fp = OpenRegularFile(name, "rb");
  if (fp == nullptr) {
    fprintf(stderr, " cest ici Cannot open input file %s\n", name);
    return 0;
  }
  if (RGBE_ReadHeader(fp, &picwidth, &picheight, &picinfo) != 0) {
    fclose(fp);
    return 0;
  }
  if (picwidth != header.width || picheight != header.height) {
    fprintf(stderr, "The images have a different sixe than requested \n");
    exit(1);
  }
  scene = CreateFloatmap(header.width, header.height);
  if (scene == nullptr) {
    fprintf(stderr, "Could not allocate memory for scene \n");
    exit(1);
  }
  if (RGBE_ReadPixels_RLE(fp, scene, picwidth, picheight) != 0) {
    fclose(fp);
    return 0;
  }

  // Statistics and re-encoding in one pass, every pixel in the scene's
  // order. Rows of noise find few colours in the table: after a row where
  // most colours had to be computed anyway, the rows go without the table,
  // but every eighth row still tries it.
  if (!colours_ready) {
    const uint32_t black[3] = {0, 0, 0};
    Describe(colours[0], black);
    for (Colour &c : colours) c = colours[0];
    colours_ready = true;
  }
  // The encoded rows go straight to their places in the movie's order,
  // the picture's first row last, so that the record is written in one piece.
  const size_t width = (size_t)picwidth, npixels = width * (size_t)picheight;
  const Colour *last = &colours[0];
  bool table = true;
  for (int row = 0; row < picheight; row++) {
    const float *p = scene + 3 * width * (size_t)row;
    unsigned char *out = rgbe_image + 4 * width * (size_t)(picheight - 1 - row);
    if (table || row % 8 == 0)
      table = 4 * ConvertRow<true>(p, out, width, last, sum) < 3 * width;
    else
      ConvertRow<false>(p, out, width, last, sum);
  }
  logAv = exp(sum / (double)npixels);
  fprintf(stderr, " maxLum %f, logAv %f \n", maxLum, logAv);
  fclose(fp);
  return 1;
}

int ProcessImage(const char *name) {
  if (header.width <= 0 || header.height <= 0) {
    fprintf(stderr, " (the movie size %d by %d holds no picture)", header.width, header.height);
    return 0;
  }
  FILE *held = OpenRegularFile(name, "rb");
  if (held == nullptr) return 0;
  rgbe_image = CreateRGBEmap(header.width, header.height);
  if (rgbe_image == nullptr) {
    fprintf(stderr, "RGBE Image malloc failed\n");
    fclose(held);
    return 0;
  }
  const int loaded = LoadScene(name);
  DestroyFloatmap(scene);
  scene = nullptr;
  if (loaded) {
    WriteMovie(&maxLum, sizeof(maxLum));
    WriteMovie(&logAv, sizeof(logAv));
    WriteMovie(rgbe_image, 4 * (size_t)header.width * (size_t)header.height);  // already bottom row first
  }
  fclose(held);
  free(rgbe_image);
  rgbe_image = nullptr;
  return loaded;
}
