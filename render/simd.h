// What the conversion kernels may use beyond SSE2 (which every x86-64
// processor has). The AVX2 kernels are compiled for AVX2 alone, never FMA,
// which would fuse a multiplication and an addition into one rounding and
// change the results; they are chosen at run time through the settings' `avx`, so
// the program still runs on any x86-64 processor.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__SSE2__) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define HALVORN_AVX 1
#include <immintrin.h>
#define AVX_KERNEL __attribute__((target("avx2")))
// AVX-512F implies FMA to the compiler; the build's -ffp-contract=off
// keeps products and sums apart, and the tests hold these kernels to the
// one-pixel code's bits.
#define AVX512_KERNEL __attribute__((target("avx512f")))
#endif

#if defined(__SSE2__)
// a where mask is set, b elsewhere, with bitwise operations.
inline __m128d Select(__m128d mask, __m128d a, __m128d b) {
  return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}

// Stores four pixels' colours, held in lanes of one colour each, in pixel
// order: r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3.
inline void StoreColours4(__m128 R, __m128 G, __m128 B, float *out) {
  const __m128 rg01 = _mm_unpacklo_ps(R, G), rg23 = _mm_unpackhi_ps(R, G);
  const __m128 b0r1 = _mm_shuffle_ps(B, R, _MM_SHUFFLE(1, 1, 0, 0));
  const __m128 g1b1 = _mm_shuffle_ps(G, B, _MM_SHUFFLE(1, 1, 1, 1));
  const __m128 b2r3 = _mm_shuffle_ps(B, R, _MM_SHUFFLE(3, 3, 2, 2));
  const __m128 g3b3 = _mm_shuffle_ps(G, B, _MM_SHUFFLE(3, 3, 3, 3));
  _mm_storeu_ps(out, _mm_shuffle_ps(rg01, b0r1, _MM_SHUFFLE(2, 0, 1, 0)));
  _mm_storeu_ps(out + 4, _mm_shuffle_ps(g1b1, rg23, _MM_SHUFFLE(1, 0, 2, 0)));
  _mm_storeu_ps(out + 8, _mm_shuffle_ps(b2r3, g3b3, _MM_SHUFFLE(2, 0, 2, 0)));
}
#endif

#if defined(HALVORN_AVX)
// The same select for four doubles. Bitwise on purpose: GCC turns a
// blendv on comparison results into a branch per lane.
AVX_KERNEL inline __m256d Select(__m256d mask, __m256d a, __m256d b) {
  return _mm256_or_pd(_mm256_and_pd(mask, a), _mm256_andnot_pd(mask, b));
}

// The same for eight pixels: pixels 0-3 in the low halves of the
// registers, 4-7 in the high halves. The shuffles work within each half
// as above; the three stores then take the halves in pixel order.
AVX_KERNEL inline void StoreColours8(__m256 R, __m256 G, __m256 B, float *out) {
  const __m256 rg01 = _mm256_unpacklo_ps(R, G), rg23 = _mm256_unpackhi_ps(R, G);
  const __m256 b0r1 = _mm256_shuffle_ps(B, R, _MM_SHUFFLE(1, 1, 0, 0));
  const __m256 g1b1 = _mm256_shuffle_ps(G, B, _MM_SHUFFLE(1, 1, 1, 1));
  const __m256 b2r3 = _mm256_shuffle_ps(B, R, _MM_SHUFFLE(3, 3, 2, 2));
  const __m256 g3b3 = _mm256_shuffle_ps(G, B, _MM_SHUFFLE(3, 3, 3, 3));
  const __m256 x0 = _mm256_shuffle_ps(rg01, b0r1, _MM_SHUFFLE(2, 0, 1, 0));
  const __m256 x1 = _mm256_shuffle_ps(g1b1, rg23, _MM_SHUFFLE(1, 0, 2, 0));
  const __m256 x2 = _mm256_shuffle_ps(b2r3, g3b3, _MM_SHUFFLE(2, 0, 2, 0));
  _mm256_storeu_ps(out, _mm256_permute2f128_ps(x0, x1, 0x20));
  _mm256_storeu_ps(out + 8, _mm256_permute2f128_ps(x2, x0, 0x30));
  _mm256_storeu_ps(out + 16, _mm256_permute2f128_ps(x1, x2, 0x31));
}
#endif
