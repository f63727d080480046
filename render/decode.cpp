// Decoding a record's RGBE pixels into the float image and the luminance
// map, with SSE2 or AVX2 kernels that give the one-pixel results to the bit.
#include <cmath>

#include "pool.h"
#include "render.h"
#include "rgbe.h"
#include "simd.h"

namespace {

// Decodes `count` pixels one by one: the picture's last few pixels, and
// the fallback where SSE2 is not available.
void DecodePixels(const unsigned char *rgbe, double *lum, float *flt, size_t count, double s) {
  for (size_t k = 0; k < count; k++, rgbe += 4, flt += 3) {
    DecodePlayerPixel(rgbe, flt);
    lum[k] = rgbe[3] != 0 ? s * PixelLuminance(flt) : PLAYER_BLACK_LUMINANCE;
  }
}

#if defined(__SSE2__)
// Four pixels at a time with SSE2: the 16 bytes of four pixels are split
// into red, green, blue and exponent lanes, the colours are the mantissas
// times 2^(e - 136) (exact in single precision), and the luminance is taken
// in double precision from those floats in the same order of operations
// as one pixel at a time, so the results are the same to the bit. The
// factor 2^(e - 136) is RGBE_E[e], built in the register from e: a normal
// float's exponent field is e - 9. A group with an exponent below 10
// (a pixel without energy, or a factor below the normal floats) goes the
// one-pixel way. `Scaled` is false when the exposure factor is exactly 1,
// whose product changes nothing.
template <bool Scaled>
size_t DecodeGroups(const unsigned char *rgbe, double *lum, float *flt, size_t n, double s) {
  const __m128i byte = _mm_set1_epi32(0xff), nine = _mm_set1_epi32(9), ten = _mm_set1_epi32(10);
  const __m128d wr = _mm_set1_pd(0.2126), wg = _mm_set1_pd(0.7152), wb = _mm_set1_pd(0.0722);
  const __m128d scale = _mm_set1_pd(s);
  size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m128i w = _mm_loadu_si128((const __m128i *)(rgbe + 4 * k));
    const __m128i e = _mm_srli_epi32(w, 24);
    if (_mm_movemask_epi8(_mm_cmplt_epi32(e, ten)) != 0) {
      DecodePixels(rgbe + 4 * k, lum + k, flt + 3 * k, 4, s);
      continue;
    }
    const __m128 f = _mm_castsi128_ps(_mm_slli_epi32(_mm_sub_epi32(e, nine), 23));
    const __m128 R = _mm_mul_ps(_mm_cvtepi32_ps(_mm_and_si128(w, byte)), f);
    const __m128 G = _mm_mul_ps(_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(w, 8), byte)), f);
    const __m128 B = _mm_mul_ps(_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(w, 16), byte)), f);

    // Luminance, two pixels per register.
    __m128d L01 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(wr, _mm_cvtps_pd(R)), _mm_mul_pd(wg, _mm_cvtps_pd(G))),
                             _mm_mul_pd(wb, _mm_cvtps_pd(B)));
    __m128d L23 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(wr, _mm_cvtps_pd(_mm_movehl_ps(R, R))),
                                        _mm_mul_pd(wg, _mm_cvtps_pd(_mm_movehl_ps(G, G)))),
                             _mm_mul_pd(wb, _mm_cvtps_pd(_mm_movehl_ps(B, B))));
    if (Scaled) {
      L01 = _mm_mul_pd(scale, L01);
      L23 = _mm_mul_pd(scale, L23);
    }
    _mm_storeu_pd(lum + k, L01);
    _mm_storeu_pd(lum + k + 2, L23);

    StoreColours4(R, G, B, flt + 3 * k);
  }
  return k;
}
#endif

#if defined(HALVORN_AVX)
// Eight pixels at a time with AVX2, the same operations as DecodeGroups:
// pixels 0-3 in the low halves of the float registers, 4-7 in the high
// halves, so that the in-half shuffles put the colours back in order.
template <bool Scaled>
AVX_KERNEL size_t DecodeGroupsAVX(const unsigned char *rgbe, double *lum, float *flt, size_t n, double s) {
  const __m256i byte = _mm256_set1_epi32(0xff), nine = _mm256_set1_epi32(9), ten = _mm256_set1_epi32(10);
  const __m256d wr = _mm256_set1_pd(0.2126), wg = _mm256_set1_pd(0.7152), wb = _mm256_set1_pd(0.0722);
  const __m256d scale = _mm256_set1_pd(s);
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256i w = _mm256_loadu_si256((const __m256i *)(rgbe + 4 * k));
    const __m256i e = _mm256_srli_epi32(w, 24);
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(ten, e)) != 0) {
      DecodePixels(rgbe + 4 * k, lum + k, flt + 3 * k, 8, s);
      continue;
    }
    const __m256 f = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_sub_epi32(e, nine), 23));
    const __m256 R = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(w, byte)), f);
    const __m256 G = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 8), byte)), f);
    const __m256 B = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(w, 16), byte)), f);

    for (int half = 0; half < 2; half++) {
      const __m128 r = half ? _mm256_extractf128_ps(R, 1) : _mm256_castps256_ps128(R);
      const __m128 g = half ? _mm256_extractf128_ps(G, 1) : _mm256_castps256_ps128(G);
      const __m128 b = half ? _mm256_extractf128_ps(B, 1) : _mm256_castps256_ps128(B);
      __m256d L = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(wr, _mm256_cvtps_pd(r)), _mm256_mul_pd(wg, _mm256_cvtps_pd(g))),
                                _mm256_mul_pd(wb, _mm256_cvtps_pd(b)));
      if (Scaled) L = _mm256_mul_pd(scale, L);
      _mm256_storeu_pd(lum + k + 4 * half, L);
    }

    StoreColours8(R, G, B, flt + 3 * k);
  }
  return k;
}
#endif

// Decodes n consecutive pixels: the widest kernel the processor runs, one
// by one for the rest. Each pixel's results depend on it alone, so any
// split of a picture into ranges gives the same bits.
void DecodeRange(int avx, const unsigned char *rgbe, double *lum, float *flt, size_t n, double s) {
  size_t k = 0;
#if defined(HALVORN_AVX)
  if (avx)
    k = s == 1.0 ? DecodeGroupsAVX<false>(rgbe, lum, flt, n, s) : DecodeGroupsAVX<true>(rgbe, lum, flt, n, s);
#endif
#if defined(__SSE2__)
  if (!avx)
    k = s == 1.0 ? DecodeGroups<false>(rgbe, lum, flt, n, s) : DecodeGroups<true>(rgbe, lum, flt, n, s);
#endif
  DecodePixels(rgbe + 4 * k, lum + k, flt + 3 * k, n - k, s);
}

}  // namespace

void DecodeFrame(const ConversionSettings &cs, const unsigned char *rgbe, double *lum, float *flt) {
  const double s = cs.exposure == 0.0f ? 1.0 : pow(2.0, (double)cs.exposure);
  ParallelChunks(cs.pool, cs.npixels, PIXEL_GRAIN, [=](size_t begin, size_t end) {
    DecodeRange(cs.avx, rgbe + 4 * begin, lum + begin, flt + 3 * begin, end - begin, s);
  });
}
