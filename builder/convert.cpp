// Float colours of OpenEXR and PFM pictures as RGBE pixels: values RGBE
// cannot hold are clamped (negative values and NaN to 0, anything above
// the largest RGBE value, +Inf included, to that value) and counted, and
// every colour is then encoded exactly as the codec's float2rgbe does.
#include <cinttypes>
#include <cstring>

#include "builder.h"
#include "encode_pixel.h"

namespace {

constexpr uint32_t LARGEST_BITS = 0x7eff0000u;  // RGBE_LARGEST
constexpr uint32_t MINUS_ZERO = 0x80000000u;
constexpr uint32_t PLUS_INFINITY = 0x7f800000u;

static_assert(RGBE_LARGEST == 255.0f * 0x1p119f, "the largest RGBE value is 255 x 2^119");

// Clamps one component given by its bits. Non-negative floats order as
// their bits, and every pattern above those of the largest value is
// either above it (up to +Inf), a NaN, or has the sign bit. -0 becomes +0
// without counting: it is no value RGBE cannot hold.
inline void Clamp(uint32_t &bits, bool &zeroed, bool &saturated) {
  if (bits <= LARGEST_BITS) return;
  if (bits == MINUS_ZERO) {
    bits = 0;
  } else if (bits > PLUS_INFINITY) {  // NaN of either sign, or negative
    bits = 0;
    zeroed = true;
  } else {
    bits = LARGEST_BITS;
    saturated = true;
  }
}

inline void ConvertColour(uint32_t bits[3], unsigned char *rgbe, OutOfRange *range) {
  if (std::max(bits[0], std::max(bits[1], bits[2])) > LARGEST_BITS) {
    bool zeroed = false, saturated = false;
    for (int j = 0; j < 3; j++) Clamp(bits[j], zeroed, saturated);
    range->zeroed += zeroed;
    range->saturated += saturated;
  }
  EncodePixel(rgbe, bits);
}

}  // namespace

void ConvertFloats(const float *rgb, size_t stride, size_t count, unsigned char *rgbe, OutOfRange *range) {
  for (size_t i = 0; i < count; i++, rgb += stride, rgbe += 4) {
    uint32_t bits[3];
    memcpy(bits, rgb, sizeof(bits));
    ConvertColour(bits, rgbe, range);
  }
}

void ConvertGreys(const float *grey, size_t count, unsigned char *rgbe, OutOfRange *range) {
  for (size_t i = 0; i < count; i++, rgbe += 4) {
    uint32_t bits[3];
    memcpy(&bits[0], &grey[i], sizeof(bits[0]));
    bits[1] = bits[2] = bits[0];
    ConvertColour(bits, rgbe, range);
  }
}

void ReportOutOfRange(const OutOfRange &range, FILE *messages) {
  if (range.zeroed == 0 && range.saturated == 0) return;
  fprintf(messages,
          "Values RGBE cannot hold: %" PRIu64 " pixels negative or NaN set to 0, %" PRIu64
          " pixels above %g set to it\n",
          range.zeroed, range.saturated, (double)RGBE_LARGEST);
}
