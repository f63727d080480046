// A decoded picture's scene statistics (maximum and log-average luminance)
// and its encoding back into RGBE pixels, in one pass over the pixels.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "builder.h"
#include "rgbe.h"

namespace {

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

constexpr int COLOUR_BITS = 13;

}  // namespace

// Colours seen before, by a hash of their bits. A decoded picture holds
// few distinct colours as a rule (the RGBE quantisation makes neighbouring
// shades equal), so most pixels find theirs here instead of computing a
// logarithm and an encoding again. Every slot always holds a colour with its
// true values (at first black, all bits 0), so a slot whose bits match is
// right whatever picture or thread put it there. 8192 slots of 32 bytes.
struct ColourTable {
  Colour slots[1 << COLOUR_BITS];
  Colour fresh;  // the colour last computed without the table
};

namespace {

inline bool Differ(const uint32_t a[3], const uint32_t b[3]) {
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2])) != 0;
}

// Statistics and encoding of one row of pixels, in order. A run of equal
// pixels takes its values from the first of the run (`last`); other pixels
// look their colour up in the table (kTable) or have it computed. Returns
// the number of colours computed.
template <bool kTable>
size_t ConvertRow(ColourTable *table, const float *p, unsigned char *out, size_t width, const Colour *&last,
                  double &sum, double &maxLum) {
  size_t computed = 0;
  double top = maxLum;
  for (size_t x = 0; x < width; x++, p += 3, out += 4) {
    uint32_t bits[3];
    memcpy(bits, p, sizeof(bits));
    if (Differ(bits, last->bits)) {
      if (kTable) {
        const uint32_t h = (bits[0] * 0x9E3779B1u) ^ (bits[1] * 0x85EBCA77u) ^ (bits[2] * 0xC2B2AE3Du);
        Colour &slot = table->slots[h >> (32 - COLOUR_BITS)];
        if (Differ(bits, slot.bits)) {
          Describe(slot, bits);
          computed++;
        }
        last = &slot;
      } else {
        Describe(table->fresh, bits);
        computed++;
        last = &table->fresh;
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

void ColourTableDeleter::operator()(ColourTable *table) const { delete table; }

ColourTablePtr CreateColourTable() {
  ColourTablePtr table(new ColourTable);
  const uint32_t black[3] = {0, 0, 0};
  Describe(table->slots[0], black);
  for (Colour &c : table->slots) c = table->slots[0];
  return table;
}

void EncodeScene(ColourTable *table, const float *scene, int width, int height, unsigned char *rgbe,
                 double *maxLum, double *logAv) {
  // Statistics and re-encoding in one pass, every pixel in the scene's
  // order. Rows of noise find few colours in the table: after a row where
  // most colours had to be computed anyway, the rows go without the table,
  // but every eighth row still tries it.
  // The encoded rows go straight to their places in the movie's order,
  // the picture's first row last, so that the record is written in one piece.
  const size_t W = (size_t)width, npixels = W * (size_t)height;
  const Colour *last = &table->slots[0];
  double top = 0.0, sum = 0.0;
  bool usetable = true;
  for (int row = 0; row < height; row++) {
    const float *p = scene + 3 * W * (size_t)row;
    unsigned char *out = rgbe + 4 * W * (size_t)(height - 1 - row);
    if (usetable || row % 8 == 0)
      usetable = 4 * ConvertRow<true>(table, p, out, W, last, sum, top) < 3 * W;
    else
      ConvertRow<false>(table, p, out, W, last, sum, top);
  }
  *maxLum = top;
  *logAv = exp(sum / (double)npixels);
}
