// HDR10 output: the player's linear BT.709 values as absolute light in
// BT.2020 primaries, clipped to the display's peak, ready for the PQ
// quantiser, with the light levels counted on the way. Where the processor
// has AVX2, four pixels go at a time: the same operations in the same
// order, so the same bits.
#include "exporter.h"
#include "hdr_signal.h"
#include "simd.h"

namespace {

struct PqPass {
  double m[3][3];  // BT.709 to BT.2020 times the scale
  double peak;
  double brightest, sum;
};

// A product, not a quotient: three divisions a pixel would cost more than
// the rest of the pass.
constexpr double TO_SIGNAL = 1.0 / PQ_PEAK;

void PqPixels(PqPass *pass, float *rgb, size_t count) {
  for (size_t k = 0; k < count; k++, rgb += 3) {
    const double r = rgb[0], g = rgb[1], b = rgb[2];
    double out[3];
    for (int c = 0; c < 3; c++) {
      const double v = pass->m[c][0] * r + pass->m[c][1] * g + pass->m[c][2] * b;
      const double low = v > 0.0 ? v : 0.0;  // NaN to 0
      out[c] = low < pass->peak ? low : pass->peak;
    }
    const double top0 = out[0] > out[1] ? out[0] : out[1];
    const double top = top0 > out[2] ? top0 : out[2];
    pass->brightest = top > pass->brightest ? top : pass->brightest;
    pass->sum += top;
    for (int c = 0; c < 3; c++) rgb[c] = (float)(out[c] * TO_SIGNAL);
  }
}

#if defined(HALVORN_AVX)
// Four pixels' colours, r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3, in lanes
// of one colour each.
inline void Split4(const float *f, __m128 *R, __m128 *G, __m128 *B) {
  const __m128 a0 = _mm_loadu_ps(f), a1 = _mm_loadu_ps(f + 4), a2 = _mm_loadu_ps(f + 8);
  *R = _mm_shuffle_ps(a0, _mm_shuffle_ps(a1, a2, _MM_SHUFFLE(1, 1, 2, 2)), _MM_SHUFFLE(2, 0, 3, 0));
  *G = _mm_shuffle_ps(_mm_shuffle_ps(a0, a1, _MM_SHUFFLE(0, 0, 1, 1)), _mm_shuffle_ps(a1, a2, _MM_SHUFFLE(2, 2, 3, 3)),
                      _MM_SHUFFLE(2, 0, 2, 0));
  *B = _mm_shuffle_ps(_mm_shuffle_ps(a0, a1, _MM_SHUFFLE(1, 1, 2, 2)), _mm_shuffle_ps(a2, a2, _MM_SHUFFLE(3, 3, 0, 0)),
                      _MM_SHUFFLE(2, 0, 2, 0));
}

// Four pixels at a time; returns how many it took. max and min take their
// second operand when the comparison fails, as the ternaries above do
// (NaN to 0); the sum goes on pixel by pixel.
AVX_KERNEL size_t PqPixelsAVX(PqPass *pass, float *rgb, size_t count) {
  __m256d m[3][3];
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) m[i][j] = _mm256_set1_pd(pass->m[i][j]);
  const __m256d zero = _mm256_setzero_pd(), peak = _mm256_set1_pd(pass->peak);
  const __m256d toSignal = _mm256_set1_pd(TO_SIGNAL);
  __m256d brightest = _mm256_set1_pd(pass->brightest);
  double sum = pass->sum;
  size_t k = 0;
  for (; k + 4 <= count; k += 4, rgb += 12) {
    __m128 R, G, B;
    Split4(rgb, &R, &G, &B);
    const __m256d r = _mm256_cvtps_pd(R), g = _mm256_cvtps_pd(G), b = _mm256_cvtps_pd(B);
    __m256d out[3];
    for (int c = 0; c < 3; c++) {
      const __m256d v =
          _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m[c][0], r), _mm256_mul_pd(m[c][1], g)), _mm256_mul_pd(m[c][2], b));
      out[c] = _mm256_min_pd(_mm256_max_pd(v, zero), peak);
    }
    const __m256d top = _mm256_max_pd(_mm256_max_pd(out[0], out[1]), out[2]);
    brightest = _mm256_max_pd(top, brightest);
    alignas(32) double tops[4];
    _mm256_store_pd(tops, top);
    sum += tops[0];
    sum += tops[1];
    sum += tops[2];
    sum += tops[3];
    StoreColours4(_mm256_cvtpd_ps(_mm256_mul_pd(out[0], toSignal)), _mm256_cvtpd_ps(_mm256_mul_pd(out[1], toSignal)),
                  _mm256_cvtpd_ps(_mm256_mul_pd(out[2], toSignal)), rgb);
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, brightest);
  for (double v : lanes) pass->brightest = v > pass->brightest ? v : pass->brightest;
  pass->sum = sum;
  return k;
}
#endif

}  // namespace

void ToPqLight(float *rgb, size_t count, double scale, double peak, int avx, FrameLight *light) {
  PqPass pass;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) pass.m[i][j] = BT709_TO_BT2020[i][j] * scale;
  pass.peak = peak;
  pass.brightest = light->brightest;
  pass.sum = light->sum;
  size_t done = 0;
#if defined(HALVORN_AVX)
  if (avx) done = PqPixelsAVX(&pass, rgb, count);
#endif
  (void)avx;
  PqPixels(&pass, rgb + 3 * done, count - done);
  light->brightest = pass.brightest;
  light->sum = pass.sum;
}
