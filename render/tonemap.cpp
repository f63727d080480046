// The adaptive logarithmic tone mapper: a frame's luminance map turned into
// display luminance, in place.
//
// The arithmetic is exact to the bit: every value is computed with the same
// operations in the same order as the plain one-pixel-at-a-time definition
// (SSE2 does IEEE double and single arithmetic like the scalar unit). The
// speed comes from the layout instead: the tone mapper works on one band of
// three rows at a time while it sits in cache, divides and maps whole rows
// two values at a time, and takes a block's shared denominator once.
// pow and log give each value as the definition's calls do; an argument
// that comes back within a frame takes its value from a memo of exact
// argument bits instead of a second call.
// Where the processor has AVX2, the kernels take four doubles per
// instruction instead of two: the same operations, so the same bits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "lookahead.h"
#include "pool.h"
#include "render.h"
#include "simd.h"

namespace {

// The mapping of a normalised luminance: rational approximations of
// ln(1 + Yw) below 2, the logarithm itself from 2 on.
inline double Pade(double Yw) {
  if (Yw < 1.0) return Yw * (6.0 + Yw) / (6.0 + 4.0 * Yw);
  if (Yw < 2.0) return Yw * (6.0 + 0.7662 * Yw) / (5.9897 + 3.7658 * Yw);
  return log(Yw + 1.0);
}

// Working room for one band of blocks, sized once for the picture's width
// and kept, so that no frame allocates.
struct Band {
  size_t width = 0;
  std::vector<double> inv;     // per cell: 1 / its denominator
  std::vector<double> arg;     // the luminances whose bias is needed
  std::vector<double> res;     // per argument: 1 / denominator
  std::vector<int> first;      // per block: the index of its first argument
  std::vector<unsigned char> smooth;  // per block: 1 when smooth
  std::vector<uint32_t> logs;  // cells at or above 2, for the logarithm
  std::vector<double> xs;      // their normalised luminances
  std::vector<double> vals;    // their logarithms
  std::vector<uint32_t> missing;  // arguments the memo did not hold
  void Size(size_t W) {
    if (width == W) return;
    width = W;
    const size_t cells = 3 * W, blocks = (W + 2) / 3;
    inv.resize(cells);
    arg.resize(cells);
    res.resize(cells);
    first.resize(blocks);
    smooth.resize(blocks);
    logs.resize(cells + 4);  // room for a whole group's indices at the end
    xs.resize(cells);
    vals.resize(cells);
    missing.resize(cells);
  }
};

#if defined(HALVORN_AVX)
AVX_KERNEL size_t NormaliseAVX(double *v, size_t count, double d) {
  const __m256d a = _mm256_set1_pd(d);
  size_t i = 0;
  for (; i + 4 <= count; i += 4) _mm256_storeu_pd(v + i, _mm256_div_pd(_mm256_loadu_pd(v + i), a));
  return i;
}

// 1 / (v[i] x divider) for `count` consecutive values, in place.
AVX_KERNEL size_t InvertAVX(double *v, size_t count, double divider) {
  const __m256d one = _mm256_set1_pd(1.0), d = _mm256_set1_pd(divider);
  size_t i = 0;
  for (; i + 4 <= count; i += 4)
    _mm256_storeu_pd(v + i, _mm256_div_pd(one, _mm256_mul_pd(_mm256_loadu_pd(v + i), d)));
  return i;
}
#endif

// value / d for `count` consecutive values, in place (d: the frame's
// average for the luminances, Lwmax for the bias arguments).
void Normalise(int avx, double *v, size_t count, double d) {
  size_t i = 0;
#if defined(HALVORN_AVX)
  if (avx) i = NormaliseAVX(v, count, d);
#endif
#if defined(__SSE2__)
  const __m128d a = _mm_set1_pd(d);
  for (; i + 2 <= count; i += 2) _mm_storeu_pd(v + i, _mm_div_pd(_mm_loadu_pd(v + i), a));
#endif
  for (; i < count; i++) v[i] = v[i] / d;
}

// 1 / (v[i] x divider) for `count` consecutive values, in place.
void Invert(int avx, double *v, size_t count, double divider) {
  size_t i = 0;
#if defined(HALVORN_AVX)
  if (avx) i = InvertAVX(v, count, divider);
#endif
  for (; i < count; i++) v[i] = 1.0 / (v[i] * divider);
}

#if defined(HALVORN_AVX)
// The lanes set in a four-bit mask, packed to the front: row m lists the
// lane numbers of mask m in order.
alignas(16) constexpr uint32_t packed_lanes[16][4] = {
    {0, 0, 0, 0}, {0, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}, {2, 0, 0, 0}, {0, 2, 0, 0}, {1, 2, 0, 0}, {0, 1, 2, 0},
    {3, 0, 0, 0}, {0, 3, 0, 0}, {1, 3, 0, 0}, {0, 1, 3, 0}, {2, 3, 0, 0}, {0, 2, 3, 0}, {1, 2, 3, 0}, {0, 1, 2, 3}};

// Map below for four values at a time; returns how many it took.
AVX_KERNEL size_t MapAVX(double *v, const double *inv, size_t count, uint32_t *logs, size_t *nlogs) {
  const __m256d one = _mm256_set1_pd(1.0), two = _mm256_set1_pd(2.0), six = _mm256_set1_pd(6.0);
  const __m256d four = _mm256_set1_pd(4.0), a1 = _mm256_set1_pd(0.7662);
  const __m256d d0 = _mm256_set1_pd(5.9897), d1 = _mm256_set1_pd(3.7658);
  size_t i = 0, n = *nlogs;
  for (; i + 4 <= count; i += 4) {
    const __m256d Y = _mm256_loadu_pd(v + i);
    const __m256d big = _mm256_cmp_pd(Y, two, _CMP_NLT_UQ);
    // The indices of the values at or above 2, packed (four are written,
    // the ones past the count are overwritten by the next group).
    const int mask = _mm256_movemask_pd(big);
    _mm_storeu_si128((__m128i *)(logs + n),
                     _mm_add_epi32(_mm_set1_epi32((int)i), _mm_load_si128((const __m128i *)packed_lanes[mask])));
    n += (size_t)__builtin_popcount((unsigned)mask);
    const __m256d below1 = _mm256_cmp_pd(Y, one, _CMP_LT_OQ);
    const __m256d f1 = _mm256_add_pd(six, Y), f2 = _mm256_add_pd(six, _mm256_mul_pd(a1, Y));
    const __m256d g1 = _mm256_add_pd(six, _mm256_mul_pd(four, Y));
    const __m256d g2 = _mm256_add_pd(d0, _mm256_mul_pd(d1, Y));
    const __m256d num = _mm256_mul_pd(Y, Select(below1, f1, f2));
    const __m256d den = Select(below1, g1, g2);
    const __m256d N = _mm256_mul_pd(_mm256_div_pd(num, den), _mm256_loadu_pd(inv + i));
    _mm256_storeu_pd(v + i, Select(big, Y, N));
  }
  *nlogs = n;
  return i;
}
#endif

// v[i] = Pade(v[i]) * inv[i] for `count` consecutive values. Below 2 the
// two rational pieces differ only in their coefficients, so each pair of
// values picks its coefficients and divides once. A value at or above 2
// (or NaN) is left as it is and its index noted in `logs`: the logarithms
// are taken afterwards in one run, where the calls do not wait on each
// other. Returns the number of indices noted.
size_t Map(int avx, double *v, const double *inv, size_t count, uint32_t *logs) {
  size_t i = 0, nlogs = 0;
#if defined(HALVORN_AVX)
  if (avx) i = MapAVX(v, inv, count, logs, &nlogs);
#endif
#if defined(__SSE2__)
  const __m128d one = _mm_set1_pd(1.0), two = _mm_set1_pd(2.0), six = _mm_set1_pd(6.0);
  const __m128d four = _mm_set1_pd(4.0), a1 = _mm_set1_pd(0.7662);
  const __m128d d0 = _mm_set1_pd(5.9897), d1 = _mm_set1_pd(3.7658);
  for (; i + 2 <= count; i += 2) {
    const __m128d Y = _mm_loadu_pd(v + i);
    const __m128d big = _mm_cmpnlt_pd(Y, two);
    const int mask = _mm_movemask_pd(big);
    logs[nlogs] = (uint32_t)i;
    nlogs += mask & 1;
    logs[nlogs] = (uint32_t)(i + 1);
    nlogs += mask >> 1;
    if (mask == 3) continue;  // both for the logarithm: nothing to divide
    const __m128d below1 = _mm_cmplt_pd(Y, one);
    // below 1: Y (6 + Y) / (6 + 4 Y); from 1: Y (6 + 0.7662 Y) / (5.9897 + 3.7658 Y)
    const __m128d f1 = _mm_add_pd(six, Y), f2 = _mm_add_pd(six, _mm_mul_pd(a1, Y));
    const __m128d g1 = _mm_add_pd(six, _mm_mul_pd(four, Y)), g2 = _mm_add_pd(d0, _mm_mul_pd(d1, Y));
    const __m128d num = _mm_mul_pd(Y, Select(below1, f1, f2));
    const __m128d den = Select(below1, g1, g2);
    const __m128d N = _mm_mul_pd(_mm_div_pd(num, den), _mm_loadu_pd(inv + i));
    _mm_storeu_pd(v + i, Select(big, Y, N));
  }
#endif
  (void)logs;  // one by one, the values at or above 2 are mapped here too
  for (; i < count; i++) v[i] = Pade(v[i]) * inv[i];
  return nlogs;
}

// Memos of the two costly functions of one argument within a frame: the
// bias term ln(2 + 8 bias(b, x)) and ln(Yw + 1). Pictures come from RGBE,
// whose 8-bit mantissas make the normalised luminances of a frame repeat:
// a frame of 350,000 cells has some 20,000 distinct values among its
// 135,000 logarithms. An entry holds an argument's exact bits and the
// function's value for it, computed by the same libm call as without the
// memo, so a hit returns the very bits the call would. Each frame starts
// with fresh tables, in which every entry is the true pair for +0.
constexpr int kMemoBits = 14;
struct MemoEntry {
  uint64_t key;
  double value;
};

inline uint64_t Bits(double x) {
  uint64_t k;
  memcpy(&k, &x, sizeof k);
  return k;
}

inline size_t SlotOf(uint64_t key) { return (size_t)((key * 0x9E3779B97F4A7C15ull) >> (64 - kMemoBits)); }

double BiasTerm(double b, double x) { return log(2.0 + 8.0 * bias(b, x)); }

void FillMemo(MemoEntry *table, double value) {
  for (size_t i = 0; i < ((size_t)1 << kMemoBits); i++) table[i] = {Bits(0.0), value};
}

// Looks n arguments up in a memo: values[k] gets the memo's value for
// x[k], and the indices whose value it does not hold are listed in
// `missing` (returns how many). No branch waits on a hit, so the lookups
// of many arguments overlap.
size_t LookUp(const MemoEntry *table, const double *x, size_t n, double *values, uint32_t *missing) {
  size_t nmissing = 0;
  for (size_t k = 0; k < n; k++) {
    const uint64_t key = Bits(x[k]);
    const MemoEntry &e = table[SlotOf(key)];
    values[k] = e.value;
    missing[nmissing] = (uint32_t)k;
    nmissing += e.key != key;
  }
  return nmissing;
}

// f(x), from the memo when an earlier argument of the frame has filled the
// entry since the lookup, else computed and kept.
template <class F>
double Remember(MemoEntry *table, double x, F f) {
  const uint64_t key = Bits(x);
  MemoEntry &e = table[SlotOf(key)];
  if (e.key != key) e = {key, f(x)};
  return e.value;
}

// Which call of MapLuminance a band belongs to: the calling thread's own
// count of calls and the thread itself, so that no two calls share a mark
// and nothing is shared between threads to make one.
struct CallMark {
  const void *thread = nullptr;
  uint64_t count = 0;
  bool operator==(const CallMark &o) const { return thread == o.thread && count == o.count; }
};

CallMark MarkThisCall() {
  thread_local uint64_t calls = 0;
  return CallMark{&calls, ++calls};
}

// What one thread needs to map bands: the working room, sized for the
// picture's width, and the two memos. Each thread that maps has its own,
// so threads share nothing but the frame's constants; the results do not
// depend on which thread maps a band, as a memo hit gives the bits of the
// call.
struct MapperRoom {
  Band band;
  MemoEntry bias_memo[1 << kMemoBits];
  MemoEntry log_memo[1 << kMemoBits];
  CallMark filled_for;  // the call the memos were last filled for
};

// The calling thread's room, its memos filled afresh once for every call
// (the bias term depends on b, and a frame's arguments, divided by this
// frame's average, rarely meet an earlier frame's; the fill also brings the
// tables into the cache in one sweep).
MapperRoom &RoomOfThisThread(size_t W, const CallMark &call, double b) {
  thread_local std::unique_ptr<MapperRoom> room;
  if (!room) room.reset(new MapperRoom);
  room->band.Size(W);
  if (!(room->filled_for == call)) {
    FillMemo(room->bias_memo, BiasTerm(b, 0.0));
    FillMemo(room->log_memo, log(0.0 + 1.0));
    room->filled_for = call;
  }
  return *room;
}

// Tests the 3 x 3 blocks of one normalised band (`rows` rows of W cells) and
// gathers the luminances whose bias is needed: a smooth block's centre,
// every cell of a rough one. Blocks are clipped at the right and top edges
// when W or H is not a multiple of 3, so every pixel belongs to one block.
// Returns the number of arguments gathered into `arg`; first[block] is the
// index of a block's first argument.
int GatherBiasArguments(const double *band, int rows, int W, double *arg, int *first, unsigned char *smooth) {
  int nargs = 0, x = 0, block = 0;
#if defined(__SSE2__)
  // A full band: two blocks at a time, each block's nine cells summed in
  // block order, one block per lane.
  if (rows == 3) {
    const __m128d ninth = _mm_set1_pd(0.1111111111111111);
    const __m128d one = _mm_set1_pd(1.0), minus1 = _mm_set1_pd(-1.0);
    for (; x + 6 <= W; x += 6, block += 2) {
      const double *p = band + x;
      __m128d sum = _mm_setzero_pd(), corner = sum;
      for (int r = 0; r < 3; r++, p += W) {
        const __m128d a = _mm_loadu_pd(p);      // cells 0 1
        const __m128d b = _mm_loadu_pd(p + 2);  // cells 2 3
        const __m128d c = _mm_loadu_pd(p + 4);  // cells 4 5
        const __m128d c03 = _mm_shuffle_pd(a, b, 2), c14 = _mm_shuffle_pd(a, c, 1), c25 = _mm_shuffle_pd(b, c, 2);
        if (r == 0) corner = c03;
        sum = _mm_add_pd(_mm_add_pd(_mm_add_pd(sum, c03), c14), c25);
      }
      const __m128d d = _mm_sub_pd(_mm_mul_pd(sum, ninth), corner);
      const int smooth2 = _mm_movemask_pd(_mm_and_pd(_mm_cmplt_pd(minus1, d), _mm_cmplt_pd(d, one)));
      for (int half = 0; half < 2; half++) {
        const double *cell = band + x + 3 * half;
        first[block + half] = nargs;
        if (smooth2 & (1 << half)) {
          smooth[block + half] = 1;
          arg[nargs++] = cell[(size_t)W + 1];
        } else {
          smooth[block + half] = 0;
          for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++) arg[nargs++] = cell[(size_t)r * W + c];
        }
      }
    }
  }
#endif

  for (; x < W; x += 3, block++) {
    const int cols = W - x < 3 ? W - x : 3;
    const double *corner = band + x;
    // The sum in block order: row by row, left to right.
    double sum = 0.0;
    double mean;
    if (rows == 3 && cols == 3) {
      const double *r1 = corner + W, *r2 = corner + 2 * (size_t)W;
      sum += corner[0];
      sum += corner[1];
      sum += corner[2];
      sum += r1[0];
      sum += r1[1];
      sum += r1[2];
      sum += r2[0];
      sum += r2[1];
      sum += r2[2];
      mean = sum * 0.1111111111111111;
    } else {
      for (int r = 0; r < rows; r++)
        for (int c = 0; c < cols; c++) sum += corner[(size_t)r * W + c];
      mean = sum / (rows * cols);
    }
    const double d = mean - corner[0];
    first[block] = nargs;
    if (-1.0 < d && d < 1.0) {  // smooth: one denominator, from the centre
      smooth[block] = 1;
      arg[nargs++] = (rows > 1 && cols > 1) ? corner[(size_t)W + 1] : corner[0];
    } else {  // rough: a denominator per cell
      smooth[block] = 0;
      for (int r = 0; r < rows; r++)
        for (int c = 0; c < cols; c++) arg[nargs++] = corner[(size_t)r * W + c];
    }
  }
  return nargs;
}

// The denominators of the gathered arguments, D = ln(2 + 8 bias(b, Y /
// Lwmax)) x divider, kept as 1 / D in `res`. The arguments are divided by
// Lwmax in place.
void ComputeDenominators(int avx, Band &room, MemoEntry *bias_memo, int nargs, double b, double Lwmax,
                         double divider) {
  double *arg = room.arg.data(), *res = room.res.data();
  uint32_t *missing = room.missing.data();
  Normalise(avx, arg, (size_t)nargs, Lwmax);
  const size_t nmissing = LookUp(bias_memo, arg, (size_t)nargs, res, missing);
  for (size_t t = 0; t < nmissing; t++) {
    const uint32_t j = missing[t];
    res[j] = Remember(bias_memo, arg[j], [b](double x) { return BiasTerm(b, x); });
  }
  Invert(avx, res, (size_t)nargs, divider);
}

// Hands each cell of the band the reciprocal denominator of its block: a
// smooth block's one to all its cells, a rough block's own to each.
void SpreadDenominators(Band &room, int rows, int W) {
  double *inv = room.inv.data();
  const double *res = room.res.data();
  const int *first = room.first.data();
  const unsigned char *smooth = room.smooth.data();
  for (int x = 0, block = 0; x < W; x += 3, block++) {
    const int cols = W - x < 3 ? W - x : 3;
    double *cellinv = inv + x;
    const double *r = res + first[block];
    if (rows == 3 && cols == 3) {
      double *i1 = cellinv + W, *i2 = cellinv + 2 * (size_t)W;
      if (smooth[block]) {
        cellinv[0] = cellinv[1] = cellinv[2] = r[0];
        i1[0] = i1[1] = i1[2] = r[0];
        i2[0] = i2[1] = i2[2] = r[0];
      } else {
        cellinv[0] = r[0];
        cellinv[1] = r[1];
        cellinv[2] = r[2];
        i1[0] = r[3];
        i1[1] = r[4];
        i1[2] = r[5];
        i2[0] = r[6];
        i2[1] = r[7];
        i2[2] = r[8];
      }
    } else {
      const int step = smooth[block] ? 0 : 1;
      for (int row = 0, j = 0; row < rows; row++)
        for (int c = 0; c < cols; c++, j += step) cellinv[(size_t)row * W + c] = r[j];
    }
  }
}

// Maps every cell of the band to display luminance: the rational pieces
// below 2 at once, then the logarithms of the cells at or above 2 in one
// run through the memo.
void MapBand(int avx, Band &room, MemoEntry *log_memo, double *band, size_t cells) {
  const double *inv = room.inv.data();
  uint32_t *logs = room.logs.data(), *missing = room.missing.data();
  double *xs = room.xs.data(), *vals = room.vals.data();
  const size_t nlogs = Map(avx, band, inv, cells, logs);
  for (size_t t = 0; t < nlogs; t++) xs[t] = band[logs[t]];
  const size_t nmissing = LookUp(log_memo, xs, nlogs, vals, missing);
  for (size_t t = 0; t < nmissing; t++) {
    const uint32_t k = missing[t];
    vals[k] = Remember(log_memo, xs[k], [](double Yw) { return log(Yw + 1.0); });
  }
  for (size_t t = 0; t < nlogs; t++) {
    const uint32_t i = logs[t];
    band[i] = vals[t] * inv[i];
  }
}

}  // namespace

double bias(double b, double x) { return pow(x, b); }

// The normaliser of a frame: the adapted log-average moves halfway towards
// the frame's own. A corrupt record (NaN, infinite, zero or negative
// log-average) must not spoil the adaptation of every frame after it: the
// adapted value is then kept as it was, and this frame is mapped with it
// (before the first sound record that value is 0).
double AdaptLogAverage(double *adapted, double logAvg) {
  double avLum = (*adapted + logAvg) * 0.5;
  if (std::isfinite(avLum) && avLum > 0.0)
    *adapted = avLum;
  else
    avLum = *adapted;
  return avLum;
}

void MapLuminance(const ConversionSettings &cs, double *lum, double maxLum, double avLum) {
  const int W = cs.width, H = cs.height;
  const double b = log((double)cs.biasParam) * -1.4426954167009307;
  const double Lwmax = maxLum / avLum;
  const double divider = log10(Lwmax + 1.0);
  const int avx = cs.avx;
  const CallMark call = MarkThisCall();
  const size_t nbands = ((size_t)H + 2) / 3;

  // One band of blocks (three rows, one after the other in memory) at a
  // time, while it sits in cache: normalise it by the adapted average,
  // test its blocks, take their denominators in one run, hand them to the
  // cells, map. Bands are independent of each other, so they are shared
  // among the threads in runs of a few.
  ParallelChunks(cs.pool, nbands, BAND_GRAIN, [=](size_t first, size_t end) {
    MapperRoom &room = RoomOfThisThread((size_t)W, call, b);
    Band &work = room.band;
    for (size_t k = first; k < end; k++) {
      const int y = 3 * (int)k;
      const int rows = H - y < 3 ? H - y : 3;
      double *band = lum + (size_t)y * (size_t)W;
      const size_t cells = (size_t)rows * (size_t)W;
      Normalise(avx, band, cells, avLum);
      const int nargs = GatherBiasArguments(band, rows, W, work.arg.data(), work.first.data(), work.smooth.data());
      ComputeDenominators(avx, work, room.bias_memo, nargs, b, Lwmax, divider);
      SpreadDenominators(work, rows, W);
      MapBand(avx, work, room.log_memo, band, cells);
    }
  });
}

void TonemapRecord(const ConversionSettings &cs, double *lum, double maxLum, double logAvg, double *adapted,
                   int eye) {
  // The causal adaptation moves on with every frame in both modes, so that
  // switching look-ahead off shows what the causal mode would have shown.
  double avLum = AdaptLogAverage(adapted, logAvg);
  double peak = maxLum;
  // Look-ahead: the window around the frame being converted gives both.
  if (cs.lookahead) LookAheadNormaliser(cs.statistics, eye, cs.frame, cs.radius, &avLum, &peak);
  TonemapWithNormaliser(cs, lum, peak, avLum);
}

void TonemapWithNormaliser(const ConversionSettings &cs, double *lum, double peak, double avLum) {
  // A first frame with a corrupt log-average leaves nothing to normalise
  // by: it is shown black instead of divided by 0.
  if (!(std::isfinite(avLum) && avLum > 0.0)) {
    std::fill(lum, lum + cs.npixels, 0.0);
    return;
  }
  MapLuminance(cs, lum, peak, avLum);
}
