// Pixel output: the displayable image from a decoded frame, either by
// colour reconstruction from the tone-mapped luminance or by plain exposure.
//
// The ratios and the output are computed in double precision exactly as for
// one pixel at a time; the SSE2 and AVX2 kernels only take several pixels
// per instruction.
#include <cmath>
#include <cstring>

#include "render.h"
#include "pool.h"
#include "simd.h"

namespace {

// Colour reconstruction of `count` pixels one by one: the picture's last
// few pixels, and the fallback where SSE2 is not available.
void ColourPixels(const double *lum, const float *frame, float *out, size_t count) {
  for (size_t k = 0; k < count; k++, frame += 3, out += 3) {
    const float R = frame[0], G = frame[1], B = frame[2];
    // The largest component; ties go to blue. A tie that picks a zero blue
    // (R = G > B = 0) would divide by zero, so the larger of red and green
    // serves there instead.
    int m;
    if (R > G && R > B)
      m = 0;
    else if (G > R && G > B)
      m = 1;
    else if (B > 0.0f)
      m = 2;
    else if (R > 0.0f || G > 0.0f)
      m = R >= G ? 0 : 1;
    else {  // no colour at all
      out[0] = out[1] = out[2] = 0.0f;
      continue;
    }
    const double inv = 1.0 / (double)frame[m];
    double ratio[3] = {R * inv, G * inv, B * inv};
    ratio[m] = 1.0;
    const double Yn = 0.2126 * ratio[0] + 0.7152 * ratio[1] + 0.0722 * ratio[2];
    const double v = lum[k] / Yn;
    out[0] = (float)(ratio[0] * v);
    out[1] = (float)(ratio[1] * v);
    out[2] = (float)(ratio[2] * v);
  }
}

#if defined(__SSE2__)
// Two pixels in double precision: the ratios to the chosen component m
// (exactly 1 for the chosen one, the others times 1/m), their luminance
// Yn, and the components ratio x Ld / Yn.
inline void ColourPair(__m128d Ld, __m128d R, __m128d G, __m128d B, __m128d m, __m128d isR, __m128d isG,
                       __m128d isB, __m128d *oR, __m128d *oG, __m128d *oB) {
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d inv = _mm_div_pd(one, m);
  const __m128d rR = Select(isR, one, _mm_mul_pd(R, inv));
  const __m128d rG = Select(isG, one, _mm_mul_pd(G, inv));
  const __m128d rB = Select(isB, one, _mm_mul_pd(B, inv));
  const __m128d Yn = _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_set1_pd(0.2126), rR), _mm_mul_pd(_mm_set1_pd(0.7152), rG)),
                                _mm_mul_pd(_mm_set1_pd(0.0722), rB));
  const __m128d v = _mm_div_pd(Ld, Yn);
  *oR = _mm_mul_pd(rR, v);
  *oG = _mm_mul_pd(rG, v);
  *oB = _mm_mul_pd(rB, v);
}

inline __m128d Low(__m128 mask) { return _mm_castps_pd(_mm_unpacklo_ps(mask, mask)); }
inline __m128d High(__m128 mask) { return _mm_castps_pd(_mm_unpackhi_ps(mask, mask)); }
inline __m128d HighHalf(__m128 x) { return _mm_cvtps_pd(_mm_movehl_ps(x, x)); }
inline __m128 Pack(__m128d lo, __m128d hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }

// Four pixels' colours, r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3, split
// into lanes of one colour each.
inline void Split(const float *f, __m128 *R, __m128 *G, __m128 *B) {
  const __m128 a0 = _mm_loadu_ps(f), a1 = _mm_loadu_ps(f + 4), a2 = _mm_loadu_ps(f + 8);
  *R = _mm_shuffle_ps(a0, _mm_shuffle_ps(a1, a2, _MM_SHUFFLE(1, 1, 2, 2)), _MM_SHUFFLE(2, 0, 3, 0));
  *G = _mm_shuffle_ps(_mm_shuffle_ps(a0, a1, _MM_SHUFFLE(0, 0, 1, 1)), _mm_shuffle_ps(a1, a2, _MM_SHUFFLE(2, 2, 3, 3)),
                      _MM_SHUFFLE(2, 0, 2, 0));
  *B = _mm_shuffle_ps(_mm_shuffle_ps(a0, a1, _MM_SHUFFLE(1, 1, 2, 2)), _mm_shuffle_ps(a2, a2, _MM_SHUFFLE(3, 3, 0, 0)),
                      _MM_SHUFFLE(2, 0, 2, 0));
}

// The largest component of four pixels, chosen with the same comparisons
// as for one pixel. When blue is chosen it is then also the largest value
// (ties of blue with another component), so the chosen value is the
// maximum of the three. Returns false when a pixel is outside that case (a
// tie of red and green above blue, or no colour at all): the group is then
// done one pixel at a time.
inline bool Choose(__m128 R, __m128 G, __m128 B, __m128 *isR, __m128 *isG, __m128 *isB, __m128 *m) {
  *isR = _mm_and_ps(_mm_cmpgt_ps(R, G), _mm_cmpgt_ps(R, B));
  *isG = _mm_and_ps(_mm_cmpgt_ps(G, R), _mm_cmpgt_ps(G, B));
  *isB = _mm_andnot_ps(_mm_or_ps(*isR, *isG), _mm_castsi128_ps(_mm_set1_epi32(-1)));
  *m = _mm_max_ps(_mm_max_ps(R, G), B);
  const __m128 blueok = _mm_and_ps(_mm_cmpeq_ps(B, *m), _mm_cmpgt_ps(B, _mm_setzero_ps()));
  return _mm_movemask_ps(_mm_andnot_ps(blueok, *isB)) == 0;
}

// Four pixels with SSE2, two per register in double precision.
size_t ColourGroups(const double *lum, const float *frame, float *out, size_t n) {
  size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const float *f = frame + 3 * k;
    __m128 R, G, B, isR, isG, isB, m;
    Split(f, &R, &G, &B);
    if (!Choose(R, G, B, &isR, &isG, &isB, &m)) {
      ColourPixels(lum + k, f, out + 3 * k, 4);
      continue;
    }
    __m128d r01, g01, b01, r23, g23, b23;
    ColourPair(_mm_loadu_pd(lum + k), _mm_cvtps_pd(R), _mm_cvtps_pd(G), _mm_cvtps_pd(B), _mm_cvtps_pd(m), Low(isR),
               Low(isG), Low(isB), &r01, &g01, &b01);
    ColourPair(_mm_loadu_pd(lum + k + 2), HighHalf(R), HighHalf(G), HighHalf(B), HighHalf(m), High(isR), High(isG),
               High(isB), &r23, &g23, &b23);
    StoreColours4(Pack(r01, r23), Pack(g01, g23), Pack(b01, b23), out + 3 * k);
  }
  return k;
}
#endif

#if defined(HALVORN_AVX)
// Eight pixels with AVX2: pixels 0-3 in the low halves of the registers,
// 4-7 in the high halves, so the in-half shuffles of the four-pixel split
// and merge serve unchanged.
AVX_KERNEL inline __m256 LoadHalves(const float *lo, const float *hi) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo)), _mm_loadu_ps(hi), 1);
}

// One 32-bit mask per pixel widened to 64 bits, for four pixels. Selects
// on these widened masks compile to blendv; on comparison results the
// compiler made a branch per lane of them, hence Select elsewhere.
AVX_KERNEL inline __m256d Widen(__m128 mask) {
  return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(mask)));
}

// Four pixels in double precision, one per lane; the output as floats.
AVX_KERNEL inline void ColourQuad(__m256d Ld, __m128 R, __m128 G, __m128 B, __m128 m, __m128 isR, __m128 isG,
                                  __m128 notB, __m128 *oR, __m128 *oG, __m128 *oB) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d inv = _mm256_div_pd(one, _mm256_cvtps_pd(m));
  const __m256d rR = _mm256_blendv_pd(_mm256_mul_pd(_mm256_cvtps_pd(R), inv), one, Widen(isR));
  const __m256d rG = _mm256_blendv_pd(_mm256_mul_pd(_mm256_cvtps_pd(G), inv), one, Widen(isG));
  const __m256d rB = _mm256_blendv_pd(one, _mm256_mul_pd(_mm256_cvtps_pd(B), inv), Widen(notB));
  const __m256d Yn = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(0.2126), rR),
                                                 _mm256_mul_pd(_mm256_set1_pd(0.7152), rG)),
                                   _mm256_mul_pd(_mm256_set1_pd(0.0722), rB));
  const __m256d v = _mm256_div_pd(Ld, Yn);
  *oR = _mm256_cvtpd_ps(_mm256_mul_pd(rR, v));
  *oG = _mm256_cvtpd_ps(_mm256_mul_pd(rG, v));
  *oB = _mm256_cvtpd_ps(_mm256_mul_pd(rB, v));
}

AVX_KERNEL size_t ColourGroupsAVX(const double *lum, const float *frame, float *out, size_t n) {
  const __m256 zero = _mm256_setzero_ps();
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const float *f = frame + 3 * k;
    const __m256 a0 = LoadHalves(f, f + 12), a1 = LoadHalves(f + 4, f + 16), a2 = LoadHalves(f + 8, f + 20);
    const __m256 R = _mm256_shuffle_ps(a0, _mm256_shuffle_ps(a1, a2, _MM_SHUFFLE(1, 1, 2, 2)), _MM_SHUFFLE(2, 0, 3, 0));
    const __m256 G = _mm256_shuffle_ps(_mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(0, 0, 1, 1)),
                                       _mm256_shuffle_ps(a1, a2, _MM_SHUFFLE(2, 2, 3, 3)), _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 B = _mm256_shuffle_ps(_mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(1, 1, 2, 2)),
                                       _mm256_shuffle_ps(a2, a2, _MM_SHUFFLE(3, 3, 0, 0)), _MM_SHUFFLE(2, 0, 2, 0));
    // The choice as in Choose, eight pixels at once.
    const __m256 isR = _mm256_and_ps(_mm256_cmp_ps(R, G, _CMP_GT_OQ), _mm256_cmp_ps(R, B, _CMP_GT_OQ));
    const __m256 isG = _mm256_and_ps(_mm256_cmp_ps(G, R, _CMP_GT_OQ), _mm256_cmp_ps(G, B, _CMP_GT_OQ));
    const __m256 notB = _mm256_or_ps(isR, isG);
    const __m256 m = _mm256_max_ps(_mm256_max_ps(R, G), B);
    const __m256 blueok = _mm256_and_ps(_mm256_cmp_ps(B, m, _CMP_EQ_OQ), _mm256_cmp_ps(B, zero, _CMP_GT_OQ));
    if (_mm256_movemask_ps(_mm256_or_ps(notB, blueok)) != 0xff) {
      ColourPixels(lum + k, f, out + 3 * k, 8);
      continue;
    }
    __m128 r0, g0, b0, r1, g1, b1;
    ColourQuad(_mm256_loadu_pd(lum + k), _mm256_castps256_ps128(R), _mm256_castps256_ps128(G),
               _mm256_castps256_ps128(B), _mm256_castps256_ps128(m), _mm256_castps256_ps128(isR),
               _mm256_castps256_ps128(isG), _mm256_castps256_ps128(notB), &r0, &g0, &b0);
    ColourQuad(_mm256_loadu_pd(lum + k + 4), _mm256_extractf128_ps(R, 1), _mm256_extractf128_ps(G, 1),
               _mm256_extractf128_ps(B, 1), _mm256_extractf128_ps(m, 1), _mm256_extractf128_ps(isR, 1),
               _mm256_extractf128_ps(isG, 1), _mm256_extractf128_ps(notB, 1), &r1, &g1, &b1);
    const __m256 oR = _mm256_set_m128(r1, r0), oG = _mm256_set_m128(g1, g0), oB = _mm256_set_m128(b1, b0);

    StoreColours8(oR, oG, oB, out + 3 * k);
  }
  return k;
}
#endif

// Colour reconstruction of n consecutive pixels: eight at a time with AVX2
// or four with SSE2, one at a time for the rest.
void ColourRange(int avx, const double *lum, const float *frame, float *out, size_t n) {
  size_t k = 0;
#if defined(HALVORN_AVX)
  if (avx) k = ColourGroupsAVX(lum, frame, out, n);
#endif
#if defined(__SSE2__)
  if (!avx) k = ColourGroups(lum, frame, out, n);
#endif
  ColourPixels(lum + k, frame + 3 * k, out + 3 * k, n - k);
}

// n consecutive components times the exposure factor.
void ExposeRange(const float *frame, float *out, size_t n, double factor) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128d f2 = _mm_set1_pd(factor);
  for (; i + 4 <= n; i += 4) {
    const __m128 x = _mm_loadu_ps(frame + i);
    const __m128d lo = _mm_mul_pd(f2, _mm_cvtps_pd(x)), hi = _mm_mul_pd(f2, _mm_cvtps_pd(_mm_movehl_ps(x, x)));
    _mm_storeu_ps(out + i, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
  }
#endif
  for (; i < n; i++) out[i] = (float)(factor * (double)frame[i]);
}

// The display bytes of n consecutive pixels, each component exactly
// DisplayByte of its float: clamped to [0, 1] (NaN to 0, as maxps gives its
// second operand when either is NaN), times 255 in single precision and
// rounded to nearest even by the conversion, as lrintf does; four pixels at
// a time, split into lanes of one colour and packed as blue, green, red,
// alpha.
void DisplayPixelRange(const float *out, unsigned char *bytes, size_t n) {
  size_t k = 0;
#if defined(__SSE2__)
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(255.0f);
  const __m128i alpha = _mm_set1_epi32((int)0xff000000u);
  auto level = [&](__m128 v) { return _mm_cvtps_epi32(_mm_mul_ps(_mm_min_ps(_mm_max_ps(v, zero), one), scale)); };
  for (; k + 4 <= n; k += 4) {
    __m128 R, G, B;
    Split(out + 3 * k, &R, &G, &B);
    const __m128i pixels =
        _mm_or_si128(_mm_or_si128(level(B), _mm_slli_epi32(level(G), 8)), _mm_or_si128(_mm_slli_epi32(level(R), 16), alpha));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes + DISPLAY_PIXEL_BYTES * k), pixels);
  }
#endif
  for (; k < n; k++) {
    unsigned char *p = bytes + DISPLAY_PIXEL_BYTES * k;
    p[0] = DisplayByte(out[3 * k + 2]);
    p[1] = DisplayByte(out[3 * k + 1]);
    p[2] = DisplayByte(out[3 * k]);
    p[3] = 255;
  }
}

}  // namespace

// The bytes of each chunk are made as soon as its floats are, while they
// are still in the cache.
void ColourFrame(const ConversionSettings &cs, const double *lum, const float *frame, float *out,
                 unsigned char *bytes) {
  ParallelChunks(cs.pool, cs.npixels, PIXEL_GRAIN, [=](size_t begin, size_t end) {
    ColourRange(cs.avx, lum + begin, frame + 3 * begin, out + 3 * begin, end - begin);
    if (bytes != nullptr) DisplayPixelRange(out + 3 * begin, bytes + DISPLAY_PIXEL_BYTES * begin, end - begin);
  });
}

void ExposeFrame(const ConversionSettings &cs, const float *frame, float *out, unsigned char *bytes) {
  const size_t n = 3 * cs.npixels;
  const bool copy = cs.exposure == 0.0f;  // factor 1: a plain copy
  const double factor = copy ? 1.0 : pow(2.0, (double)cs.exposure);
  ParallelChunks(cs.pool, n, 3 * PIXEL_GRAIN, [=](size_t begin, size_t end) {
    if (copy)
      memcpy(out + begin, frame + begin, (end - begin) * sizeof(float));
    else
      ExposeRange(frame + begin, out + begin, end - begin, factor);
    // Chunks are whole pixels: 3 * PIXEL_GRAIN components each.
    if (bytes != nullptr)
      DisplayPixelRange(out + begin, bytes + DISPLAY_PIXEL_BYTES * (begin / 3), (end - begin) / 3);
  });
}

unsigned char DisplayByte(float v) {
  if (!(v > 0.0f)) return 0;  // NaN too
  if (v >= 1.0f) return 255;
  return (unsigned char)lrintf(v * 255.0f);
}

void DisplayBytes(const ConversionSettings &cs, const float *out, unsigned char *bytes) {
  ParallelChunks(cs.pool, cs.npixels, PIXEL_GRAIN, [=](size_t begin, size_t end) {
    DisplayPixelRange(out + 3 * begin, bytes + DISPLAY_PIXEL_BYTES * begin, end - begin);
  });
}
