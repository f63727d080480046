// float2rgbe's encoding of one colour worked out from the bits of its
// floats, for the builder's loops over every pixel.
#ifndef HALVORN_ENCODE_PIXEL_H
#define HALVORN_ENCODE_PIXEL_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "rgbe.h"

// Bits of the smallest float that float2rgbe does not cut off as black
// (at least 1e-32 when compared in double). Non-negative finite floats
// order as their bits do.
inline uint32_t RGBECutoffBits() {
  float f = (float)1e-32;
  if ((double)f < 1e-32) f = nextafterf(f, INFINITY);
  uint32_t bits;
  memcpy(&bits, &f, sizeof(bits));
  return bits;
}
inline const uint32_t CUTOFF_BITS = RGBECutoffBits();

// When the largest of the three bit patterns lies below 0x7f000000 every
// component is finite, has no sign bit and is below 2^127 (binary exponent E
// at most 253), and the largest of them is the largest component v; when it
// is also at least CUTOFF_BITS, v is a normal float that is not cut off.
// frexp then gives the exponent E - 126, stored as E + 2, and the scale
// 2^(134 - E) turns a component with significand S (implicit bit included)
// and binary exponent Ec into S x 2^(Ec - E - 16): its integer part is S
// shifted right by E - Ec + 16, at least 16, and 0 from a shift of 24 on
// (subnormals count as Ec = 1 without the implicit bit). Every other colour
// goes to float2rgbe itself.
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

#endif
