// Float colours of OpenEXR and PFM pictures as RGBE pixels: values RGBE
// cannot hold are clamped (negative values and NaN to 0, anything above
// the largest RGBE value, +Inf included, to that value) and counted, and
// every colour is then encoded exactly as the codec's float2rgbe does.
// Eight colours at a time with AVX2 where the processor has it; both ways
// give the same bytes.
#include <cinttypes>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

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

// A half float's value as a float's bits: exact, as F16C converts it.
inline uint32_t HalfBits(uint16_t h) {
  const uint32_t sign = (uint32_t)(h & 0x8000u) << 16, exponent = (h >> 10) & 0x1fu, mantissa = h & 0x3ffu;
  if (exponent == 0x1f) return sign | 0x7f800000u | (mantissa << 13) | (mantissa ? 0x400000u : 0);
  if (exponent != 0) return sign | ((exponent + 112) << 23) | (mantissa << 13);
  const float subnormal = (float)mantissa * 0x1p-24f;  // exact: 10 bits
  uint32_t bits;
  memcpy(&bits, &subnormal, 4);
  return sign | bits;
}

void ConvertFloatsPlain(const float *rgb, size_t stride, size_t count, unsigned char *rgbe, OutOfRange *range) {
  for (size_t i = 0; i < count; i++, rgb += stride, rgbe += 4) {
    uint32_t bits[3];
    memcpy(bits, rgb, sizeof(bits));
    ConvertColour(bits, rgbe, range);
  }
}

void ConvertGreysPlain(const float *grey, size_t count, unsigned char *rgbe, OutOfRange *range) {
  for (size_t i = 0; i < count; i++, rgbe += 4) {
    uint32_t bits[3];
    memcpy(&bits[0], &grey[i], sizeof(bits[0]));
    bits[1] = bits[2] = bits[0];
    ConvertColour(bits, rgbe, range);
  }
}

void ConvertHalvesPlain(const uint16_t *rgb, size_t count, unsigned char *rgbe, OutOfRange *range) {
  for (size_t i = 0; i < count; i++, rgb += 3, rgbe += 4) {
    uint32_t bits[3] = {HalfBits(rgb[0]), HalfBits(rgb[1]), HalfBits(rgb[2])};
    ConvertColour(bits, rgbe, range);
  }
}

#if defined(__x86_64__)

// EncodePixel for eight colours whose components lie in 0 .. the largest
// RGBE value; returns the eight pixels' bytes as 32-bit lanes.
__attribute__((target("avx2"))) inline __m256i EncodeEight(__m256i r, __m256i g, __m256i b) {
  const __m256i largest = _mm256_max_epu32(r, _mm256_max_epu32(g, b));
  const __m256i e = _mm256_srli_epi32(largest, 23);
  const __m256i fraction = _mm256_set1_epi32(0x7fffff), implicit = _mm256_set1_epi32(0x800000);
  const __m256i one = _mm256_set1_epi32(1), zero = _mm256_setzero_si256(), sixteen = _mm256_set1_epi32(16);
  __m256i out = _mm256_slli_epi32(_mm256_add_epi32(e, _mm256_set1_epi32(2)), 24);
  const __m256i components[3] = {r, g, b};
  for (int j = 0; j < 3; j++) {
    const __m256i ec = _mm256_srli_epi32(components[j], 23);
    const __m256i subnormal = _mm256_cmpeq_epi32(ec, zero);
    const __m256i significand =
        _mm256_or_si256(_mm256_and_si256(components[j], fraction), _mm256_andnot_si256(subnormal, implicit));
    // e - max(Ec, 1) + 16; shifts of 32 and more give 0, as in EncodePixel.
    const __m256i shift = _mm256_add_epi32(_mm256_sub_epi32(e, _mm256_max_epu32(ec, one)), sixteen);
    out = _mm256_or_si256(out, _mm256_slli_epi32(_mm256_srlv_epi32(significand, shift), 8 * j));
  }
  // Below the cut-off a colour is black, all four bytes 0.
  const __m256i black = _mm256_cmpgt_epi32(_mm256_set1_epi32((int)CUTOFF_BITS), largest);
  return _mm256_andnot_si256(black, out);
}

// Whether every component of the eight colours is one RGBE holds as it is.
__attribute__((target("avx2"))) inline bool InRange(__m256i r, __m256i g, __m256i b) {
  const __m256i largest = _mm256_max_epu32(r, _mm256_max_epu32(g, b));
  const __m256i limit = _mm256_set1_epi32((int)LARGEST_BITS);
  return _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_min_epu32(largest, limit), largest)) == -1;
}

// Eight interleaved colours (24 floats in three vectors) as red, green and
// blue vectors: blends gather each component's lanes, a permutation puts
// them in order.
__attribute__((target("avx2"))) inline void Deinterleave(__m256 a, __m256 b, __m256 c, __m256i *r, __m256i *g,
                                                         __m256i *bl) {
  const __m256 tr = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x92), c, 0x24);
  const __m256 tg = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x24), c, 0x49);
  const __m256 tb = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x49), c, 0x92);
  *r = _mm256_castps_si256(_mm256_permutevar8x32_ps(tr, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5)));
  *g = _mm256_castps_si256(_mm256_permutevar8x32_ps(tg, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6)));
  *bl = _mm256_castps_si256(_mm256_permutevar8x32_ps(tb, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7)));
}

__attribute__((target("avx2"))) void ConvertFloatsAVX2(const float *rgb, size_t count, unsigned char *rgbe,
                                                       OutOfRange *range) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8, rgb += 24, rgbe += 32) {
    __m256i r, g, b;
    Deinterleave(_mm256_loadu_ps(rgb), _mm256_loadu_ps(rgb + 8), _mm256_loadu_ps(rgb + 16), &r, &g, &b);
    if (InRange(r, g, b))
      _mm256_storeu_si256((__m256i *)rgbe, EncodeEight(r, g, b));
    else
      ConvertFloatsPlain(rgb, 3, 8, rgbe, range);
  }
  ConvertFloatsPlain(rgb, 3, count - i, rgbe, range);
}

__attribute__((target("avx2"))) void ConvertGreysAVX2(const float *grey, size_t count, unsigned char *rgbe,
                                                      OutOfRange *range) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8, grey += 8, rgbe += 32) {
    const __m256i v = _mm256_castps_si256(_mm256_loadu_ps(grey));
    if (InRange(v, v, v))
      _mm256_storeu_si256((__m256i *)rgbe, EncodeEight(v, v, v));
    else
      ConvertGreysPlain(grey, 8, rgbe, range);
  }
  ConvertGreysPlain(grey, count - i, rgbe, range);
}

__attribute__((target("avx2,f16c"))) void ConvertHalvesAVX2(const uint16_t *rgb, size_t count, unsigned char *rgbe,
                                                             OutOfRange *range) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8, rgb += 24, rgbe += 32) {
    const __m256 a = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *)rgb));
    const __m256 b = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *)(rgb + 8)));
    const __m256 c = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *)(rgb + 16)));
    __m256i r, g, bl;
    Deinterleave(a, b, c, &r, &g, &bl);
    if (InRange(r, g, bl))
      _mm256_storeu_si256((__m256i *)rgbe, EncodeEight(r, g, bl));
    else
      ConvertHalvesPlain(rgb, 8, rgbe, range);
  }
  ConvertHalvesPlain(rgb, count - i, rgbe, range);
}

// F16C is read from CPUID leaf 1 (ECX bit 29) directly: clang does not know
// "f16c" as a feature name for __builtin_cpu_supports, gcc and clang both
// know "avx2", which also checks that the system saves the AVX registers.
bool HasF16C() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
}

bool HasAVX2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && HasF16C();
}

bool with_avx2 = HasAVX2();

#else

bool with_avx2 = false;

#endif

}  // namespace

bool UseAVX2Conversion(bool wanted) {
#if defined(__x86_64__)
  with_avx2 = wanted && HasAVX2();
#else
  (void)wanted;
#endif
  return with_avx2;
}

void ConvertFloats(const float *rgb, size_t stride, size_t count, unsigned char *rgbe, OutOfRange *range) {
#if defined(__x86_64__)
  if (with_avx2 && stride == 3) return ConvertFloatsAVX2(rgb, count, rgbe, range);
#endif
  ConvertFloatsPlain(rgb, stride, count, rgbe, range);
}

void ConvertGreys(const float *grey, size_t count, unsigned char *rgbe, OutOfRange *range) {
#if defined(__x86_64__)
  if (with_avx2) return ConvertGreysAVX2(grey, count, rgbe, range);
#endif
  ConvertGreysPlain(grey, count, rgbe, range);
}

void ConvertHalves(const uint16_t *rgb, size_t count, unsigned char *rgbe, OutOfRange *range) {
#if defined(__x86_64__)
  if (with_avx2) return ConvertHalvesAVX2(rgb, count, rgbe, range);
#endif
  ConvertHalvesPlain(rgb, count, rgbe, range);
}

void ReportOutOfRange(const OutOfRange &range, FILE *messages) {
  if (range.zeroed == 0 && range.saturated == 0) return;
  fprintf(messages,
          "Values RGBE cannot hold: %" PRIu64 " pixels negative or NaN set to 0, %" PRIu64
          " pixels above %g set to it\n",
          range.zeroed, range.saturated, (double)RGBE_LARGEST);
}
