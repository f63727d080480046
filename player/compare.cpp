// Comparing two sides: the compare state's keys, one frame number for both
// sides, the settings keys on the chosen sides, the difference picture and
// the overlay's lines.
#include "compare.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pool.h"
#include "rgbe.h"
#include "simd.h"

void CycleCompareView(CompareState *state) { state->view = (CompareView)((state->view + 1) % 4); }

void CycleKeySides(CompareState *state) { state->keys = (KeySides)((state->keys + 1) % 3); }

void SwapSides(CompareState *state) { state->swapped = !state->swapped; }

void ChooseOtherEye(CompareState *state, int eyes) {
  if (eyes == 2) state->eye = 1 - state->eye;
}

int SideAt(const CompareState &state, int place) { return (place != 0) != (state.swapped != 0) ? 1 : 0; }

int WipeColumn(const CompareState &state, int width) {
  return state.wipe_column < 0 ? width / 2 : state.wipe_column;
}

void MoveWipe(CompareState *state, int column, int width) {
  state->wipe_column = column < 0 ? 0 : column > width ? width : column;
}

int PicturesAcross(const CompareState &state) { return state.view == VIEW_SIDE_BY_SIDE ? 2 : 1; }

int AlignedFrame(int frame, int nframes) {
  if (frame > nframes - 1) frame = nframes - 1;
  return frame < 0 ? 0 : frame;
}

int LeadingSide(const Session &a, const Session &b) {
  return b.movie.header.nframes > a.movie.header.nframes ? 1 : 0;
}

int FollowLead(const Session &lead, Session *other) {
  // The other side reads ahead the frames the lead plays next.
  other->autoplay = lead.autoplay;
  other->playdir = lead.playdir;
  other->looptype = lead.looptype;
  const int target = AlignedFrame(lead.currentframe, other->movie.header.nframes);
  const int cur = other->currentframe;
  int ok;
  if (target == cur && other->shown->number == cur && SameSettings(other->shown->settings, other->settings)) {
    ok = 1;  // its last frame stays on screen for the frames it lacks
  } else if (target == 0 || target == cur + 1 || target == cur - 1) {
    ok = HandleNextFrame(other, target);
  } else {
    ok = SeekToFrame(other, target);
  }
  other->autoplay = lead.autoplay;
  other->playdir = lead.playdir;
  return ok;
}

void ChangeSetting(RenderSettings *s, SettingChange change) {
  switch (change) {
    case EXPOSURE_UP:
      s->exposure += 1.0;
      break;
    case EXPOSURE_UP_FINE:
      s->exposure += 0.1;
      break;
    case EXPOSURE_DOWN:
      s->exposure -= 1.0;
      break;
    case EXPOSURE_DOWN_FINE:
      s->exposure -= 0.1;
      break;
    case BIAS_UP:
      if (s->biasParam < 0.98) s->biasParam += 0.02;
      break;
    case BIAS_DOWN:
      if (s->biasParam > 0.72) s->biasParam -= 0.02;
      break;
    case TOGGLE_TONEMAP:
      s->tmo = s->tmo == 0 ? 1 : 0;
      break;
    case TOGGLE_LOOKAHEAD:
      s->lookahead = s->lookahead == 0 ? 1 : 0;
      break;
  }
}

void ChangeSettings(KeySides keys, SettingChange change, RenderSettings *a, RenderSettings *b) {
  if (b == nullptr || keys != KEYS_B) ChangeSetting(a, change);
  if (b != nullptr && keys != KEYS_A) ChangeSetting(b, change);
}

double DifferenceStops(double lum_a, double lum_b) {
  if (lum_a == lum_b) return 0.0;
  if (!(lum_a > 0.0)) return DIFFERENCE_FULL_STOPS;
  if (!(lum_b > 0.0)) return -DIFFERENCE_FULL_STOPS;
  return std::log2(lum_b / lum_a);
}

void DifferenceColour(double stops, float rgb[3]) {
  double t = std::fabs(stops) / DIFFERENCE_FULL_STOPS;
  if (t > 1.0) t = 1.0;
  rgb[0] = stops > 0.0 ? (float)t : 0.0f;
  rgb[1] = 0.0f;
  rgb[2] = stops < 0.0 ? (float)t : 0.0f;
}

namespace {

// The difference picture works on each pixel's luminance as a mantissa sum
// and an exponent: the luminance is M x 2^(e - 136) with M the weighted sum
// of the three mantissas, so that the stops are (eb - ea) + log2(Mb / Ma),
// with no picture-sized powers of two. A pixel without exponent, which the
// player shows as RGBE_FLOOR in every component, counts as
// RGBE_FLOOR x 2^20 x 2^(116 - 136).
constexpr float WEIGHT_R = 0.2126f, WEIGHT_G = 0.7152f, WEIGHT_B = 0.0722f;
constexpr float BLACK_SUM = RGBE_FLOOR * 1048576.0f;
constexpr int BLACK_EXPONENT = 116;
// log2(1 + x) = x P(x) for x = m - 1, m within [1/sqrt 2, sqrt 2): P of
// degree 5 from a Chebyshev fit of log2(1 + x) / x over that interval,
// within 4e-6 of log2 in single precision (a step of the 8-bit ramp is
// 4 / 255 stops); exact (0) at m = 1. Horner's rule, no division.
constexpr float LOG2_P[6] = {1.442701816558838f,   -0.7212084531784058f, 0.47979387640953064f,
                             -0.36641326546669006f, 0.3184071183204651f,  -0.20685812830924988f};
constexpr float SQRT2 = 1.41421356f;
constexpr float FULL = (float)DIFFERENCE_FULL_STOPS, QUARTER = (float)(1.0 / DIFFERENCE_FULL_STOPS);

// Added to every mantissa sum: nothing to a sum of any pixel with a
// mantissa (the smallest, 0.0722, is far above it), and a zero sum becomes
// some 96 stops darker than any other, which the ramp shows at full, as
// DifferenceStops gives for a zero luminance; two zero sums stay equal.
constexpr float TINY = 1e-30f;

// One pixel's stops of the second over the first, clamped to the ramp's
// scale, as the vector kernels give them operation for operation.
float PixelStops(const unsigned char *a, const unsigned char *b) {
  auto sum = [](const unsigned char *p, int *e) {
    *e = p[3];
    if (p[3] == 0) {
      *e = BLACK_EXPONENT;
      return BLACK_SUM + TINY;
    }
    return ((WEIGHT_R * (float)p[0] + WEIGHT_G * (float)p[1]) + WEIGHT_B * (float)p[2]) + TINY;
  };
  int ea, eb;
  const float ma = sum(a, &ea), mb = sum(b, &eb);
  const float q = mb / ma;
  uint32_t bits;
  memcpy(&bits, &q, sizeof bits);
  int ex = (int)(bits >> 23) - 127;
  const uint32_t mbits = (bits & 0x7fffffu) | 0x3f800000u;
  float m;
  memcpy(&m, &mbits, sizeof m);
  if (m > SQRT2) {
    m = m * 0.5f;
    ex += 1;
  }
  const float x = m - 1.0f;
  float poly = LOG2_P[5];
  for (int i = 4; i >= 0; i--) poly = LOG2_P[i] + x * poly;
  const float stops = (float)(eb - ea + ex) + x * poly;
  return stops < -FULL ? -FULL : stops > FULL ? FULL : stops;
}

// The ramp's colour of clamped stops: red the stops above 0, blue those
// below, a quarter each.
void PixelColour(float stops, float *rgb) {
  rgb[0] = (stops > 0.0f ? stops : 0.0f) * QUARTER;
  rgb[1] = 0.0f;
  rgb[2] = (-stops > 0.0f ? -stops : 0.0f) * QUARTER;
}

#if defined(__SSE2__)
// The raw pixels a kernel reads next come from memory: the frames were read
// and converted long before, the other side's as well. Asking for them 2 KB
// ahead keeps the loads from waiting, which the hardware's own prefetching
// does not manage on two streams at this rate (a cold 1920 x 1080 picture
// took about a quarter less time with it). Past the end of the records it
// is a hint that cannot fault.
constexpr size_t PREFETCH_BYTES = 2048;
inline void PrefetchAhead(const unsigned char *a, const unsigned char *b) {
  _mm_prefetch(reinterpret_cast<const char *>(a + PREFETCH_BYTES), _MM_HINT_T0);
  _mm_prefetch(reinterpret_cast<const char *>(b + PREFETCH_BYTES), _MM_HINT_T0);
}

inline __m128 SelectPs(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
inline __m128i SelectEpi(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// Four pixels' mantissa sums (TINY added) and exponents.
inline void Sums4(const unsigned char *p, __m128 *m, __m128i *e) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), low = _mm_set1_epi32(0xff);
  const __m128 r = _mm_cvtepi32_ps(_mm_and_si128(v, low));
  const __m128 g = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(v, 8), low));
  const __m128 b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(v, 16), low));
  const __m128i ex = _mm_srli_epi32(v, 24);
  const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(WEIGHT_R), r), _mm_mul_ps(_mm_set1_ps(WEIGHT_G), g)),
                                _mm_mul_ps(_mm_set1_ps(WEIGHT_B), b));
  const __m128i black = _mm_cmpeq_epi32(ex, _mm_setzero_si128());
  *m = _mm_add_ps(SelectPs(_mm_castsi128_ps(black), _mm_set1_ps(BLACK_SUM), sum), _mm_set1_ps(TINY));
  *e = SelectEpi(black, _mm_set1_epi32(BLACK_EXPONENT), ex);
}

// PixelStops and PixelColour for four pixels: their red and blue lanes
// (green is 0).
void Colours4(const unsigned char *a, const unsigned char *b, __m128 *red, __m128 *blue) {
  __m128 ma, mb;
  __m128i ea, eb;
  Sums4(a, &ma, &ea);
  Sums4(b, &mb, &eb);
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
  const __m128 q = _mm_div_ps(mb, ma);
  const __m128i bits = _mm_castps_si128(q);
  __m128i ex = _mm_sub_epi32(_mm_srli_epi32(bits, 23), _mm_set1_epi32(127));
  __m128 m = _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi32(0x7fffff)), _mm_set1_epi32(0x3f800000)));
  const __m128 big = _mm_cmpgt_ps(m, _mm_set1_ps(SQRT2));
  m = SelectPs(big, _mm_mul_ps(m, _mm_set1_ps(0.5f)), m);
  ex = _mm_sub_epi32(ex, _mm_castps_si128(big));  // the mask is -1 where set
  const __m128 x = _mm_sub_ps(m, one);
  __m128 poly = _mm_set1_ps(LOG2_P[5]);
  for (int i = 4; i >= 0; i--) poly = _mm_add_ps(_mm_set1_ps(LOG2_P[i]), _mm_mul_ps(x, poly));
  __m128 stops = _mm_add_ps(_mm_cvtepi32_ps(_mm_add_epi32(_mm_sub_epi32(eb, ea), ex)), _mm_mul_ps(x, poly));
  // Clamped: max and min give their second operand unless the first is
  // beyond it, as the comparisons of PixelStops do.
  stops = _mm_min_ps(_mm_max_ps(stops, _mm_set1_ps(-FULL)), _mm_set1_ps(FULL));
  *red = _mm_mul_ps(_mm_max_ps(stops, zero), _mm_set1_ps(QUARTER));
  *blue = _mm_mul_ps(_mm_max_ps(_mm_xor_ps(stops, _mm_set1_ps(-0.0f)), zero), _mm_set1_ps(QUARTER));
}

// Four pixels' display bytes straight from their colour lanes, each
// component DisplayByte of its float (within [0, 1], so rounded to nearest
// even as lrintf does).
inline void StoreBytes4(__m128 red, __m128 blue, unsigned char *bytes) {
  const __m128 scale = _mm_set1_ps(255.0f);
  const __m128i r = _mm_cvtps_epi32(_mm_mul_ps(red, scale)), b = _mm_cvtps_epi32(_mm_mul_ps(blue, scale));
  const __m128i pixels = _mm_or_si128(_mm_or_si128(b, _mm_slli_epi32(r, 16)), _mm_set1_epi32((int)0xff000000u));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes), pixels);
}
#endif

#if defined(HALVORN_AVX)
// Sums4 for eight pixels.
AVX_KERNEL inline void Sums8(const unsigned char *p, __m256 *m, __m256i *e) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), low = _mm256_set1_epi32(0xff);
  const __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(v, low));
  const __m256 g = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 8), low));
  const __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 16), low));
  const __m256i ex = _mm256_srli_epi32(v, 24);
  const __m256 sum =
      _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(WEIGHT_R), r), _mm256_mul_ps(_mm256_set1_ps(WEIGHT_G), g)),
                    _mm256_mul_ps(_mm256_set1_ps(WEIGHT_B), b));
  const __m256i black = _mm256_cmpeq_epi32(ex, _mm256_setzero_si256());
  *m = _mm256_add_ps(_mm256_blendv_ps(sum, _mm256_set1_ps(BLACK_SUM), _mm256_castsi256_ps(black)),
                     _mm256_set1_ps(TINY));
  *e = _mm256_blendv_epi8(ex, _mm256_set1_epi32(BLACK_EXPONENT), black);
}

// Colours4 for eight pixels, operation for operation.
AVX_KERNEL void Colours8(const unsigned char *a, const unsigned char *b, __m256 *red, __m256 *blue) {
  __m256 ma, mb;
  __m256i ea, eb;
  Sums8(a, &ma, &ea);
  Sums8(b, &mb, &eb);
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  const __m256 q = _mm256_div_ps(mb, ma);
  const __m256i bits = _mm256_castps_si256(q);
  __m256i ex = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127));
  __m256 m = _mm256_castsi256_ps(
      _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x7fffff)), _mm256_set1_epi32(0x3f800000)));
  const __m256 big = _mm256_cmp_ps(m, _mm256_set1_ps(SQRT2), _CMP_GT_OQ);
  m = _mm256_blendv_ps(m, _mm256_mul_ps(m, _mm256_set1_ps(0.5f)), big);
  ex = _mm256_sub_epi32(ex, _mm256_castps_si256(big));
  const __m256 x = _mm256_sub_ps(m, one);
  __m256 poly = _mm256_set1_ps(LOG2_P[5]);
  for (int i = 4; i >= 0; i--) poly = _mm256_add_ps(_mm256_set1_ps(LOG2_P[i]), _mm256_mul_ps(x, poly));
  __m256 stops =
      _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_sub_epi32(eb, ea), ex)), _mm256_mul_ps(x, poly));
  stops = _mm256_min_ps(_mm256_max_ps(stops, _mm256_set1_ps(-FULL)), _mm256_set1_ps(FULL));
  *red = _mm256_mul_ps(_mm256_max_ps(stops, zero), _mm256_set1_ps(QUARTER));
  *blue = _mm256_mul_ps(_mm256_max_ps(_mm256_xor_ps(stops, _mm256_set1_ps(-0.0f)), zero), _mm256_set1_ps(QUARTER));
}

// Pixels [k, end) eight at a time as far as they go; returns where it
// stopped.
AVX_KERNEL size_t Difference8(const unsigned char *first, const unsigned char *second, size_t k, size_t end,
                              float *out, unsigned char *bytes) {
  const __m256 scale = _mm256_set1_ps(255.0f);
  for (; k + 8 <= end; k += 8) {
    __m256 red, blue;
    PrefetchAhead(first + 4 * k, second + 4 * k);
    Colours8(first + 4 * k, second + 4 * k, &red, &blue);
    if (out != nullptr) StoreColours8(red, _mm256_setzero_ps(), blue, out + 3 * k);
    if (bytes != nullptr) {
      const __m256i r = _mm256_cvtps_epi32(_mm256_mul_ps(red, scale)), b = _mm256_cvtps_epi32(_mm256_mul_ps(blue, scale));
      const __m256i pixels =
          _mm256_or_si256(_mm256_or_si256(b, _mm256_slli_epi32(r, 16)), _mm256_set1_epi32((int)0xff000000u));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(bytes + DISPLAY_PIXEL_BYTES * k), pixels);
    }
  }
  return k;
}
#endif

#if defined(HALVORN_AVX)
// GCC 12 takes the AVX-512 intrinsics' own placeholder for an undefined
// register for an uninitialised variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Sums4 for sixteen pixels.
AVX512_KERNEL inline void Sums16(const unsigned char *p, __m512 *m, __m512i *e) {
  const __m512i v = _mm512_loadu_si512(p), low = _mm512_set1_epi32(0xff);
  const __m512 r = _mm512_cvtepi32_ps(_mm512_and_si512(v, low));
  const __m512 g = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(v, 8), low));
  const __m512 b = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(v, 16), low));
  const __m512i ex = _mm512_srli_epi32(v, 24);
  const __m512 sum =
      _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(WEIGHT_R), r), _mm512_mul_ps(_mm512_set1_ps(WEIGHT_G), g)),
                    _mm512_mul_ps(_mm512_set1_ps(WEIGHT_B), b));
  const __mmask16 black = _mm512_cmpeq_epi32_mask(ex, _mm512_setzero_si512());
  *m = _mm512_add_ps(_mm512_mask_blend_ps(black, sum, _mm512_set1_ps(BLACK_SUM)), _mm512_set1_ps(TINY));
  *e = _mm512_mask_blend_epi32(black, ex, _mm512_set1_epi32(BLACK_EXPONENT));
}

// Colours4 for sixteen pixels, operation for operation.
AVX512_KERNEL void Colours16(const unsigned char *a, const unsigned char *b, __m512 *red, __m512 *blue) {
  __m512 ma, mb;
  __m512i ea, eb;
  Sums16(a, &ma, &ea);
  Sums16(b, &mb, &eb);
  const __m512 zero = _mm512_setzero_ps(), one = _mm512_set1_ps(1.0f);
  const __m512 q = _mm512_div_ps(mb, ma);
  const __m512i bits = _mm512_castps_si512(q);
  __m512i ex = _mm512_sub_epi32(_mm512_srli_epi32(bits, 23), _mm512_set1_epi32(127));
  __m512 m = _mm512_castsi512_ps(
      _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi32(0x7fffff)), _mm512_set1_epi32(0x3f800000)));
  const __mmask16 big = _mm512_cmp_ps_mask(m, _mm512_set1_ps(SQRT2), _CMP_GT_OQ);
  m = _mm512_mask_mul_ps(m, big, m, _mm512_set1_ps(0.5f));
  ex = _mm512_mask_add_epi32(ex, big, ex, _mm512_set1_epi32(1));
  const __m512 x = _mm512_sub_ps(m, one);
  __m512 poly = _mm512_set1_ps(LOG2_P[5]);
  for (int i = 4; i >= 0; i--) poly = _mm512_add_ps(_mm512_set1_ps(LOG2_P[i]), _mm512_mul_ps(x, poly));
  __m512 stops =
      _mm512_add_ps(_mm512_cvtepi32_ps(_mm512_add_epi32(_mm512_sub_epi32(eb, ea), ex)), _mm512_mul_ps(x, poly));
  stops = _mm512_min_ps(_mm512_max_ps(stops, _mm512_set1_ps(-FULL)), _mm512_set1_ps(FULL));
  const __m512 minus = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(stops), _mm512_set1_epi32(INT32_MIN)));
  *red = _mm512_mul_ps(_mm512_max_ps(stops, zero), _mm512_set1_ps(QUARTER));
  *blue = _mm512_mul_ps(_mm512_max_ps(minus, zero), _mm512_set1_ps(QUARTER));
}

// Pixels [k, end) sixteen at a time as far as they go; returns where it
// stopped. The colours go out through the eight-pixel store, a half at a
// time.
AVX512_KERNEL size_t Difference16(const unsigned char *first, const unsigned char *second, size_t k, size_t end,
                                  float *out, unsigned char *bytes) {
  const __m512 scale = _mm512_set1_ps(255.0f);
  for (; k + 16 <= end; k += 16) {
    __m512 red, blue;
    PrefetchAhead(first + 4 * k, second + 4 * k);
    Colours16(first + 4 * k, second + 4 * k, &red, &blue);
    if (out != nullptr) {
      const __m256 zero = _mm256_setzero_ps();
      StoreColours8(_mm512_castps512_ps256(red), zero, _mm512_castps512_ps256(blue), out + 3 * k);
      StoreColours8(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(red), 1)), zero,
                    _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(blue), 1)), out + 3 * k + 24);
    }
    if (bytes != nullptr) {
      const __m512i r = _mm512_cvtps_epi32(_mm512_mul_ps(red, scale)), b = _mm512_cvtps_epi32(_mm512_mul_ps(blue, scale));
      const __m512i pixels =
          _mm512_or_si512(_mm512_or_si512(b, _mm512_slli_epi32(r, 16)), _mm512_set1_epi32((int)0xff000000u));
      _mm512_storeu_si512(bytes + DISPLAY_PIXEL_BYTES * k, pixels);
    }
  }
  return k;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

float DifferencePixelStops(const unsigned char first[4], const unsigned char second[4]) {
  return PixelStops(first, second);
}

int ChooseDifferenceKernels(int avx) {
  if (!avx) return DIFFERENCE_SSE2;
  return ProcessorHasAVX512() ? DIFFERENCE_AVX512 : DIFFERENCE_AVX2;
}

void MakeDifference(WorkerPool *pool, int kernels, const unsigned char *first, const unsigned char *second, size_t n,
                    float *out, unsigned char *bytes) {
  ParallelChunks(pool, n, PIXEL_GRAIN, [=](size_t begin, size_t end) {
    size_t k = begin;
#if defined(HALVORN_AVX)
    if (kernels == DIFFERENCE_AVX512) k = Difference16(first, second, k, end, out, bytes);
    if (kernels != DIFFERENCE_SSE2) k = Difference8(first, second, k, end, out, bytes);
#else
    (void)kernels;
#endif
#if defined(__SSE2__)
    for (; k + 4 <= end; k += 4) {
      __m128 red, blue;
      PrefetchAhead(first + 4 * k, second + 4 * k);
      Colours4(first + 4 * k, second + 4 * k, &red, &blue);
      if (out != nullptr) StoreColours4(red, _mm_setzero_ps(), blue, out + 3 * k);
      if (bytes != nullptr) StoreBytes4(red, blue, bytes + DISPLAY_PIXEL_BYTES * k);
    }
#endif
    for (; k < end; k++) {
      float rgb[3];
      PixelColour(PixelStops(first + 4 * k, second + 4 * k), rgb);
      if (out != nullptr) memcpy(out + 3 * k, rgb, sizeof rgb);
      if (bytes == nullptr) continue;
      unsigned char *p = bytes + DISPLAY_PIXEL_BYTES * k;
      p[0] = DisplayByte(rgb[2]);
      p[1] = DisplayByte(rgb[1]);
      p[2] = DisplayByte(rgb[0]);
      p[3] = 255;
    }
  });
}

std::string DifferenceLegendHead(const CompareState &state) {
  return state.swapped ? "Difference A/B: " : "Difference B/A: ";
}

std::string DifferenceLegendTail() {
  char text[64];
  snprintf(text, sizeof text, " -%g to +%g stops, black equal", DIFFERENCE_FULL_STOPS, DIFFERENCE_FULL_STOPS);
  return text;
}

std::string SideSettingsText(const Session &s, int side) {
  char text[160];
  snprintf(text, sizeof text, "%c: Exposure %.1f, Bias %.2f%s%s, frame %d", side == 0 ? 'A' : 'B',
           s.settings.exposure + 1, s.settings.biasParam, s.settings.tmo ? ", tone mapping" : "",
           s.settings.lookahead ? ", look-ahead" : "", s.currentframe);
  return text;
}

std::string CompareText(const CompareState &state) {
  static const char *const views[] = {"wipe", "side by side", "difference", "toggle"};
  static const char *const keys[] = {"both", "A", "B"};
  std::string text = std::string("Compare: ") + views[state.view] + ", keys act on " + keys[state.keys];
  if (state.view == VIEW_TOGGLE) text += SideAt(state, 0) == 0 ? ", showing A" : ", showing B";
  if (state.swapped) text += ", swapped";
  return text;
}

std::string CompareProbeText(const Session &session, int side, const PictureSpot &spot) {
  return std::string(side == 0 ? "A " : "B ") + ProbeText(session, spot, ProbePixel(session, spot));
}
