// Gamma quantisation: float components into 8- or 16-bit samples with the
// display gamma baked in, computed from the float itself.
//
// The definition takes a pow per component, far too slow for a picture, so
// the general case uses a table that gives the same samples: the output only
// changes where a float reaches the smallest float of the next sample value,
// and those thresholds are found once, from the definition, by search over
// the floats' bit patterns (positive floats order like their bits). A float
// is then located by its top bits in a bucket whose starting value is known,
// and moved past the threshold inside the bucket, if any. Where the
// processor has AVX2, eight components are looked up at a time: the same
// comparisons, so the same samples.
#include <cmath>
#include <cstring>

#include "exporter.h"
#include "hdr_signal.h"
#include "render.h"
#include "simd.h"

namespace {

// How Quantise works.
constexpr int DISPLAY_BYTES = 0;  // gamma 1, 8 bits: the player's upload rounding
constexpr int LINEAR_16 = 1;      // gamma 1, 16 bits: round(65535 v), no pow needed
constexpr int TABLE = 2;          // anything else: thresholds and buckets

constexpr uint32_t ONE_BITS = 0x3F800000u;       // the bits of 1.0f
constexpr uint32_t INFINITY_BITS = 0x7F800000u;  // of +infinity; NaNs lie above

inline uint32_t BitsOf(float v) {
  uint32_t b;
  memcpy(&b, &v, sizeof b);
  return b;
}

inline float FloatOf(uint32_t b) {
  float v;
  memcpy(&v, &b, sizeof v);
  return v;
}

// The definition for the float with bits b in [0, ONE_BITS].
uint32_t Level(const Quantiser &q, uint32_t b) {
  return q.pq ? PqSampleByDefinition(FloatOf(b)) : QuantiseByDefinition(q.gamma, q.depth, FloatOf(b));
}

// Where a level lies by the inverse of the curve: the guess the threshold
// search starts from.
double InverseLevel(const Quantiser &q, uint32_t level) {
  const double signal = ((double)level - 0.5) / q.maxval;
  return q.pq ? PqDecode(signal) / PQ_PEAK : pow(signal, q.gamma);
}

// The smallest bits in (lo, ONE_BITS] whose level is `level` or more, where
// Level(lo) is below it; `guess` is where the level lies by the inverse
// function, searched around first.
uint32_t FindThreshold(const Quantiser &q, uint32_t lo, uint32_t level, uint32_t guess) {
  uint32_t hi = ONE_BITS;
  if (guess > lo && guess < ONE_BITS) {
    // A bracket of a few hundred floats around the guess, when it holds.
    const uint32_t below = guess - lo > 256 ? guess - 256 : lo;
    const uint32_t above = ONE_BITS - guess > 256 ? guess + 256 : ONE_BITS;
    if (Level(q, above) >= level) hi = above;
    if (below > lo && Level(q, below) < level) lo = below;
  }
  while (hi - lo > 1) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (Level(q, mid) >= level)
      hi = mid;
    else
      lo = mid;
  }
  return hi;
}

inline uint32_t TableLevel(const Quantiser &q, float v) {
  const uint32_t b = BitsOf(v);
  // 1 and more (infinity too) is the top value; NaN and negative numbers,
  // whose bits lie above those of infinity, are 0.
  if (b >= ONE_BITS) return b <= INFINITY_BITS ? q.maxval : 0;
  if (b < q.base) return 0;
  const uint32_t e = q.bucket[(b >> q.shift) - (q.base >> q.shift)];
  const uint32_t offset = b & ((1u << q.shift) - 1);
  if (!q.crowded) return (e >> 16) + (offset >= (e & 0xFFFF) ? 1 : 0);
  // The value where a straight line through the bucket puts the float
  // (exact at its ends, a step or so off inside), then to the thresholds.
  uint32_t level = (e >> 16) + (uint32_t)(((uint64_t)offset * (e & 0xFFFF)) >> q.shift);
  // One step either way without a branch, which is nearly always enough.
  level += b >= q.thresholds[level + 1] ? 1 : 0;
  level -= b < q.thresholds[level] ? 1 : 0;
  while (b >= q.thresholds[level + 1]) level++;
  while (b < q.thresholds[level]) level--;
  return level;
}

// DisplayByte as the compiler can take it into a loop: the same steps.
inline uint32_t DisplayLevel(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return (uint32_t)lrintf(v * 255.0f);
}

inline uint32_t Linear16(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 65535;
  return (uint32_t)lrint(65535.0 * (double)v);
}

// `count` components into samples by `level`, from component `from` on.
template <typename Level>
void QuantiseRun(const float *in, size_t from, size_t count, unsigned char *out, int depth, Level level) {
  if (depth == 8) {
    for (size_t i = from; i < count; i++) out[i] = (unsigned char)level(in[i]);
  } else {
    for (size_t i = from; i < count; i++) {
      const uint32_t s = level(in[i]);
      out[2 * i] = (unsigned char)(s >> 8);
      out[2 * i + 1] = (unsigned char)(s & 255);
    }
  }
}

#if defined(HALVORN_AVX)
// Eight levels in 32-bit lanes: the table's lookup (uncrowded buckets) or
// the upload's rounding, lane by lane as TableLevel and DisplayLevel do it.
AVX_KERNEL inline __m256i TableLevels8(const Quantiser &q, __m256i b) {
  const __m256i first = _mm256_set1_epi32((int)(q.base >> q.shift));
  const __m256i lastindex = _mm256_set1_epi32((int)q.bucket.size() - 1);
  // The bucket, kept inside the table for lanes outside it (they are
  // replaced below); negative floats and NaNs shift to large indices.
  __m256i index = _mm256_sub_epi32(_mm256_srli_epi32(b, q.shift), first);
  index = _mm256_min_epi32(_mm256_max_epi32(index, _mm256_setzero_si256()), lastindex);
  const __m256i e = _mm256_i32gather_epi32((const int *)q.bucket.data(), index, 4);
  const __m256i low16 = _mm256_set1_epi32(0xFFFF);
  const __m256i offset = _mm256_and_si256(b, _mm256_set1_epi32((int)((1u << q.shift) - 1)));
  const __m256i next = _mm256_and_si256(e, low16);
  // offset >= next adds one (the comparison gives -1).
  __m256i r = _mm256_sub_epi32(_mm256_srli_epi32(e, 16), _mm256_cmpgt_epi32(offset, _mm256_sub_epi32(next, _mm256_set1_epi32(1))));
  // Below the first bucket (negative floats too: negative as signed) 0; 1
  // and more the top value; NaN 0.
  const __m256i below = _mm256_cmpgt_epi32(_mm256_set1_epi32((int)q.base), b);
  const __m256i top = _mm256_cmpgt_epi32(b, _mm256_set1_epi32((int)ONE_BITS - 1));
  const __m256i nan = _mm256_cmpgt_epi32(b, _mm256_set1_epi32((int)INFINITY_BITS));
  r = _mm256_andnot_si256(below, r);
  r = _mm256_blendv_epi8(r, _mm256_set1_epi32((int)q.maxval), top);
  return _mm256_andnot_si256(nan, r);
}

AVX_KERNEL inline __m256i DisplayLevels8(__m256 v) {
  const __m256 positive = _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ);
  const __m256 top = _mm256_cmp_ps(v, _mm256_set1_ps(1.0f), _CMP_GE_OQ);
  // The conversion rounds to nearest, ties to even, as lrintf does.
  __m256i r = _mm256_cvtps_epi32(_mm256_mul_ps(v, _mm256_set1_ps(255.0f)));
  r = _mm256_and_si256(r, _mm256_castps_si256(positive));
  return _mm256_blendv_epi8(r, _mm256_set1_epi32(255), _mm256_castps_si256(top));
}

// Sixteen components at a time into samples; returns how many it took.
AVX_KERNEL size_t QuantiseAVX(const Quantiser &q, const float *in, size_t count, unsigned char *out) {
  const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2, 5, 4, 7,
                                        6, 9, 8, 11, 10, 13, 12, 15, 14);
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    __m256i a, c;
    if (q.mode == DISPLAY_BYTES) {
      a = DisplayLevels8(_mm256_loadu_ps(in + i));
      c = DisplayLevels8(_mm256_loadu_ps(in + i + 8));
    } else {
      a = TableLevels8(q, _mm256_loadu_si256((const __m256i *)(in + i)));
      c = TableLevels8(q, _mm256_loadu_si256((const __m256i *)(in + i + 8)));
    }
    // Sixteen 16-bit values in order: packing works within 128-bit halves.
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, c), 0xD8);
    if (q.depth == 8) {
      const __m128i bytes =
          _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
      _mm_storeu_si128((__m128i *)(out + i), bytes);
    } else {
      _mm256_storeu_si256((__m256i *)(out + 2 * i), _mm256_shuffle_epi8(words, swap));
    }
  }
  return i;
}
#endif

}  // namespace

uint32_t QuantiseByDefinition(double gamma, int depth, float v) {
  const uint32_t maxval = depth == 16 ? 65535u : 255u;
  if (gamma == 1.0 && depth == 8) return DisplayByte(v);
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return maxval;
  const double s = (double)maxval * pow((double)v, 1.0 / gamma);
  const long n = lrint(s);
  return n < 0 ? 0u : n > (long)maxval ? maxval : (uint32_t)n;
}

namespace {

// The thresholds of every level, then the buckets: the finest of `shift`
// down to `finest` at which no bucket holds more than one threshold, or the
// finest with crowded buckets.
void BuildTable(Quantiser *q, int shift, int finest) {
  q->mode = TABLE;
  const uint32_t maxval = q->maxval;
  // thresholds[0] = 0 (every float is 0 or more); the one past the last is
  // the bits of 1, above every float the table sees.
  q->thresholds.assign((size_t)maxval + 2, 0);
  q->thresholds[maxval + 1] = ONE_BITS;
  for (uint32_t level = 1; level <= maxval; level++) {
    const uint32_t previous = q->thresholds[level - 1];
    if (Level(*q, previous) >= level) {  // two levels from one float on
      q->thresholds[level] = previous;
      continue;
    }
    const double v = InverseLevel(*q, level);
    const uint32_t guess = v > 0.0 && v < 1.0 ? BitsOf((float)v) : 0;
    q->thresholds[level] = FindThreshold(*q, previous, level, guess);
  }
  for (q->shift = shift;; q->shift--) {
    const uint32_t first = q->thresholds[1] >> q->shift, last = (ONE_BITS - 1) >> q->shift;
    q->base = first << q->shift;
    // The value at the start of every bucket, and at 1 after the last.
    const size_t nbuckets = (size_t)(last - first + 1);
    std::vector<uint32_t> starts(nbuckets + 1);
    uint32_t level = 0;
    for (size_t i = 0; i <= nbuckets; i++) {
      const uint32_t bits = (first + (uint32_t)i) << q->shift;
      while (level < maxval && bits >= q->thresholds[level + 1]) level++;
      starts[i] = level;
    }
    const uint32_t size = 1u << q->shift;
    q->crowded = false;
    for (size_t i = 0; i < nbuckets; i++)
      if (starts[i + 1] - starts[i] > 1) q->crowded = true;
    if (q->crowded && q->shift > finest) continue;
    q->bucket.resize(nbuckets);
    for (size_t i = 0; i < nbuckets; i++) {
      const uint32_t bits = (first + (uint32_t)i) << q->shift;
      const uint32_t next = q->thresholds[starts[i] + 1] - bits;  // more than 0
      const uint32_t low = q->crowded ? starts[i + 1] - starts[i] : (next < size ? next : size);
      q->bucket[i] = starts[i] << 16 | low;
    }
    return;
  }
}

}  // namespace

int BuildQuantiser(Quantiser *q, double gamma, int depth) {
  if (!(gamma >= MIN_EXPORT_GAMMA && gamma <= MAX_EXPORT_GAMMA) || (depth != 8 && depth != 16)) return -1;
  q->depth = depth;
  q->gamma = gamma;
  q->pq = false;
  q->avx = ProcessorHasAVX2();
  q->maxval = depth == 16 ? 65535u : 255u;
  q->thresholds.clear();
  q->bucket.clear();
  if (gamma == 1.0) {
    q->mode = depth == 8 ? DISPLAY_BYTES : LINEAR_16;
    return 0;
  }
  // Buckets: 256 to an octave for 8 bits, 2048 for 16, so that a bucket
  // holds at most one threshold of a display gamma, or a few.
  const int shift = depth == 8 ? 15 : 12;
  BuildTable(q, shift, shift);
  return 0;
}

void BuildPqQuantiser(Quantiser *q) {
  q->depth = 16;
  q->gamma = 1.0;
  q->pq = true;
  q->avx = ProcessorHasAVX2();
  q->maxval = 65535u;
  q->thresholds.clear();
  q->bucket.clear();
  // The curve climbs some 5,000 levels an octave at its steepest: buckets
  // of 2^9 floats, 16,384 to an octave, hold one threshold at most.
  BuildTable(q, 12, 9);
}

uint32_t PqSampleByDefinition(float y) {
  if (!(y > 0.0f)) return 0;
  if (y >= 1.0f) return 65535;
  return (uint32_t)lrint(65535.0 * PqEncode(PQ_PEAK * (double)y));
}

uint32_t Quantise(const Quantiser &q, float v) {
  switch (q.mode) {
    case DISPLAY_BYTES:
      return DisplayLevel(v);
    case LINEAR_16:
      return Linear16(v);
    default:
      return TableLevel(q, v);
  }
}

void QuantisePicture(const Quantiser &q, const float *picture, int width, int height, unsigned char *samples,
                     size_t stride, int column) {
  const size_t count = 3 * (size_t)width;
  const size_t bytes = q.depth == 16 ? 2 : 1;
  for (int y = 0; y < height; y++) {
    const float *in = picture + (size_t)y * count;
    unsigned char *out = samples + (size_t)(height - 1 - y) * stride + 3 * bytes * (size_t)column;
    size_t done = 0;
#if defined(HALVORN_AVX)
    if (q.avx && (q.mode == DISPLAY_BYTES || (q.mode == TABLE && !q.crowded)))
      done = QuantiseAVX(q, in, count, out);
#endif
    switch (q.mode) {
      case DISPLAY_BYTES:
        QuantiseRun(in, done, count, out, q.depth, DisplayLevel);
        break;
      case LINEAR_16:
        QuantiseRun(in, done, count, out, q.depth, Linear16);
        break;
      default:
        QuantiseRun(in, done, count, out, q.depth, [&q](float v) { return TableLevel(q, v); });
        break;
    }
  }
}
