// One frame's conversion in the player: MakeFrame on a movie that sits in
// the page cache (read, DecodeFrame, then TonemapRecord and ColourFrame, or
// ExposeFrame), at three picture sizes, beside a memory-traffic reference that
// moves the same bytes per pixel as a conversion must:
//   read 4 (RGBE), write 12 + 8 (float colour, double luminance),
//   read both back, write 12 (the output picture).
// The content is a synthetic HDR scene: a sun and a lamp, a sky gradient
// with soft clouds, sunlit and shaded textured surfaces and deep shadows,
// a dynamic range of about 10^7 with smooth and rough 3 x 3 blocks.
//
// After the run a table gives the milliseconds per frame of each path, its
// ratio to the reference of the same size, and frames per second.
// --threads N shares the conversion out among N threads, as the player's
// -j N does, and times it on the wall clock; --sse2 measures the SSE2
// kernels on a processor that has AVX2. The histogram and the clipping view
// are timed the same way and given as a share of a frame's conversion; the
// compare mode's difference view is timed in turn with a tone-mapped
// conversion and given as a share of it.
#include <benchmark/benchmark.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "clipping.h"
#include "compare.h"
#include "histogram.h"
#include "pool.h"
#include "rgbe.h"
#include "session.h"

namespace {

// ---- The scene ------------------------------------------------------------

uint32_t Hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return h;
}
double Noise(int x, int y, uint32_t seed) { return Hash((uint32_t)x, (uint32_t)y, seed) / 4294967296.0; }

// Smooth value noise with a cell of `scale` pixels, in [0, 1).
double ValueNoise(double x, double y, double scale, uint32_t seed) {
  const double fx = x / scale, fy = y / scale;
  const int ix = (int)std::floor(fx), iy = (int)std::floor(fy);
  double tx = fx - ix, ty = fy - iy;
  tx = tx * tx * (3 - 2 * tx);
  ty = ty * ty * (3 - 2 * ty);
  const double a = Noise(ix, iy, seed), b = Noise(ix + 1, iy, seed);
  const double c = Noise(ix, iy + 1, seed), d = Noise(ix + 1, iy + 1, seed);
  return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
}

// The scene in the movie's row order (row 0 at the bottom), RGB floats.
std::vector<float> Scene(int W, int H) {
  std::vector<float> img(3 * (size_t)W * H);
  const double u = H / 486.0;  // features scale with the picture
  const double horizon = 0.55 * H;
  const double sunx = 0.72 * W, suny = 0.84 * H, sunr = 14 * u;
  const double lampx = 0.18 * W, lampy = 0.30 * H, lampr = 5 * u;
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      double r, g, b;
      if (y >= horizon) {  // sky: brighter at the horizon, soft clouds
        const double t = (y - horizon) / (H - horizon);
        const double sky = 3.0 * (1.0 - 0.7 * t);
        const double cloud = ValueNoise(x, y, 60 * u, 1) * ValueNoise(x, y, 17 * u, 2);
        const double c = sky * (1.0 + 1.5 * cloud * cloud);
        r = 0.55 * c + 1.2 * cloud;
        g = 0.75 * c + 1.2 * cloud;
        b = 1.25 * c + 1.1 * cloud;
        const double ds = std::hypot(x - sunx, y - suny) / sunr;
        if (ds < 1.0) {
          r = 40000.0;
          g = 36000.0;
          b = 30000.0;
        } else {
          const double glow = 400.0 / (ds * ds * ds);
          r += glow;
          g += 0.9 * glow;
          b += 0.7 * glow;
        }
      } else {
        // Ground: a sunlit stone wall on the right, a shaded brick wall on
        // the left, deep shadow in the lower left corner.
        const double grain = Noise(x, y, 3);           // per-pixel texture
        const double blotch = ValueNoise(x, y, 9 * u, 4);  // larger stains
        const bool mortar = (y % (int)(12 * u + 1)) < 2 * u + 1 ||
                            ((x + ((y / (int)(12 * u + 1)) % 2) * (int)(16 * u)) % (int)(32 * u + 1)) < 2 * u + 1;
        double albedo = 0.35 + 0.4 * blotch + 0.5 * (grain - 0.5);
        if (mortar) albedo *= 0.35;
        double light;
        if (x > 0.5 * W) {
          light = 9.0;  // direct sun
        } else {
          light = 0.6;  // sky light only
          const double shadow = (0.5 * W - x) / (0.5 * W) + (0.3 * H - y) / (0.3 * H);
          if (shadow > 0.9) light = 0.004 + 0.01 * ValueNoise(x, y, 40 * u, 5);
        }
        const double dl = std::hypot(x - lampx, y - lampy) / lampr;
        r = albedo * light * 0.95;
        g = albedo * light * 0.85;
        b = albedo * light * 0.70;
        if (dl < 1.0) {
          r = 900.0;
          g = 700.0;
          b = 400.0;
        } else {
          const double pool = 60.0 / (dl * dl);
          r += albedo * pool;
          g += albedo * 0.8 * pool;
          b += albedo * 0.5 * pool;
        }
      }
      float *p = &img[3 * ((size_t)y * W + x)];
      p[0] = (float)r;
      p[1] = (float)g;
      p[2] = (float)b;
    }
  return img;
}

struct Movie {
  std::string path;
  double maxLum = 0.0, logAv = 0.0;
  double dynamic_range = 0.0;  // brightest over darkest non-zero luminance
  double rough_blocks = 0.0;   // share of rough blocks at steady adaptation
  double log_cells = 0.0;      // share of cells at or above 2 (a logarithm each)
};

// Writes a one-frame movie of the scene (as the builder would) and notes
// the scene's figures.
Movie MakeMovie(int W, int H) {
  Movie m;
  const std::vector<float> scene = Scene(W, H);
  const size_t n = (size_t)W * H;
  std::vector<unsigned char> rgbe(4 * n);
  std::vector<double> L(n);
  double sum = 0.0, darkest = INFINITY;
  for (size_t k = 0; k < n; k++) {
    const float *p = &scene[3 * k];
    L[k] = 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
    m.maxLum = std::max(m.maxLum, L[k]);
    if (L[k] > 0) darkest = std::min(darkest, L[k]);
    sum += std::log(L[k] + 0.000023);
    float2rgbe(&rgbe[4 * k], p[0], p[1], p[2]);
  }
  m.logAv = std::exp(sum / (double)n);
  m.dynamic_range = m.maxLum / darkest;

  // With the same frame played on, the adapted average tends to logAv.
  size_t blocks = 0, rough = 0, logs = 0;
  for (int y = 0; y < H; y += 3)
    for (int x = 0; x < W; x += 3) {
      double s = 0.0;
      int cells = 0;
      for (int r = y; r < std::min(y + 3, H); r++)
        for (int c = x; c < std::min(x + 3, W); c++, cells++) {
          const double v = L[(size_t)r * W + c] / m.logAv;
          s += v;
          logs += v >= 2.0;
        }
      const double d = s / cells - L[(size_t)y * W + x] / m.logAv;
      blocks++;
      rough += !(d > -1.0 && d < 1.0);
    }
  m.rough_blocks = (double)rough / blocks;
  m.log_cells = (double)logs / n;

  char name[64];
  snprintf(name, sizeof name, "/halvview_bench_%dx%d_%d.movie", W, H, (int)getpid());
  const char *tmp = getenv("TMPDIR");
  m.path = std::string(tmp && *tmp ? tmp : "/tmp") + name;
  FILE *f = fopen(m.path.c_str(), "wb");
  if (!f) {
    perror(m.path.c_str());
    exit(1);
  }
  MovieHeader h{};
  h.width = (int16_t)W;
  h.height = (int16_t)H;
  h.format = MOVIE_FORMAT;
  h.eyes = 1;
  h.nframes = 1;
  // The pixels are already bottom row first.
  if (WriteMovieHeader(f, h) != 0 || WriteMovieRecord(f, m.maxLum, m.logAv, rgbe.data(), (size_t)W * H) != 0 ||
      fclose(f) != 0) {
    perror(m.path.c_str());
    exit(1);
  }
  return m;
}

std::map<std::pair<int, int>, Movie> &Movies() {
  static std::map<std::pair<int, int>, Movie> movies;
  return movies;
}

const Movie &MovieFor(int W, int H) {
  auto it = Movies().find({W, H});
  if (it == Movies().end()) it = Movies().emplace(std::make_pair(W, H), MakeMovie(W, H)).first;
  return it->second;
}

// With --threads N the conversion runs on a pool of N threads and is timed
// on the wall clock (the CPU time of one thread would miss the others'
// work); without it, on the calling thread's CPU clock.
unsigned bench_threads = 0;
std::unique_ptr<WorkerPool> bench_pool;
// The kernels: the processor's, or SSE2 alone with --sse2.
int bench_avx = ProcessorHasAVX2();
int bench_difference_kernels = DIFFERENCE_AVX512;

// The player's session on the movie, set up as start-up does: the movie and
// its statistics open, the shown frame's buffers, the settings and the
// pool.
std::unique_ptr<Session> session;

Session &OpenPlayer(const Movie &m, int W, int H) {
  session.reset();
  session.reset(new Session);
  Session &s = *session;
  if (OpenSessionMovie(&s, m.path.c_str(), 0) != MOVIE_OPENED) {
    perror(m.path.c_str());
    exit(1);
  }
  if (AllocateShownFrame(&s, 1) != BUFFERS_ALLOCATED) {
    fprintf(stderr, "no memory for the player's buffers\n");
    exit(1);
  }
  // Start-up allocates once; the pages are in use long before a frame is
  // timed, so fault them in here.
  Frame &f = *s.shown;
  memset(f.rgbe, 0, 12 * (size_t)W * H);
  memset(f.out[0], 0, 12 * (size_t)W * H);
  memset(s.scratch.fframe, 0, 12 * (size_t)W * H);
  memset(s.scratch.lum, 0, 8 * (size_t)(W + 2) * (H + 2));
  s.settings = RenderSettings{};
  s.settings.exposure = 0.0f;
  s.settings.biasParam = 0.85f;
  s.settings.avx = bench_avx;
  s.adapted[0] = 0.0;
  s.pool = bench_threads > 1 ? bench_pool.get() : nullptr;
  return s;
}

// Reads and converts the movie's first frame into the shown frame, as the
// player does when it steps to it, the adaptation moving on.
FrameFault ConvertFirstFrame(Session &s) {
  FrameJob job;
  job.movie = &s.movie;
  job.number = 0;
  job.position = MOVIE_HEADER_SIZE;
  job.settings = s.settings;
  job.adapted[0] = s.adapted[0];
  job.adapted[1] = s.adapted[1];
  job.pool = s.pool;
  job.statistics = &s.statistics;
  const FrameFault fault = MakeFrame(job, &s.scratch, s.shown.get());
  s.adapted[0] = s.shown->adapted_after[0];
  return fault;
}

// The settings of the first frame's conversion, as MakeFrame takes them.
ConversionSettings FrameConversion(Session &s) {
  return MakeConversion(s.settings, s.movie.header.width, s.movie.header.height, 0, s.pool, &s.statistics);
}

// ---- Measurements ----------------------------------------------------------

double ThreadSeconds() {
  timespec t;
  clock_gettime(bench_threads ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// The memory-traffic reference: per pixel it reads the 4 RGBE bytes,
// writes 12 bytes of colour and 8 of luminance, reads both back and writes
// the 12 bytes of the output, in two plain passes over its own buffers.
struct Reference {
  size_t n;
  std::vector<unsigned char> src;
  std::vector<float> colour, out;
  std::vector<double> lum;
  explicit Reference(size_t pixels)
      : n(pixels), src(4 * n), colour(3 * n), out(3 * n), lum(n) {
    for (size_t i = 0; i < src.size(); i++) src[i] = (unsigned char)(i * 37);
  }
  // Four pixels at a time: the bytes are widened to floats in registers,
  // and each pixel's three floats are stored with one 16-byte store whose
  // fourth float the next pixel's store overwrites (the last pixel of the
  // picture is done on its own).
  void Run() {
    const unsigned char *s = src.data();
    float *c = colour.data(), *o = out.data();
    double *l = lum.data();
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; k + 4 < n; k += 4) {  // read 4, write 12 + 8
      const __m128i bytes = _mm_loadu_si128((const __m128i *)(s + 4 * k));
      const __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
      const __m128 p[4] = {_mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)),
                           _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)),
                           _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)),
                           _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero))};
      for (int i = 0; i < 4; i++) _mm_storeu_ps(c + 3 * (k + i), p[i]);
      const __m128 e01 = _mm_shuffle_ps(p[0], p[1], _MM_SHUFFLE(3, 3, 3, 3));
      const __m128 e23 = _mm_shuffle_ps(p[2], p[3], _MM_SHUFFLE(3, 3, 3, 3));
      _mm_storeu_pd(l + k, _mm_cvtps_pd(_mm_shuffle_ps(e01, e01, _MM_SHUFFLE(2, 0, 2, 0))));
      _mm_storeu_pd(l + k + 2, _mm_cvtps_pd(_mm_shuffle_ps(e23, e23, _MM_SHUFFLE(2, 0, 2, 0))));
    }
#endif
    for (; k < n; k++) {
      c[3 * k] = s[4 * k];
      c[3 * k + 1] = s[4 * k + 1];
      c[3 * k + 2] = s[4 * k + 2];
      l[k] = s[4 * k + 3];
    }
    benchmark::ClobberMemory();
    k = 0;
#if defined(__SSE2__)
    for (; k + 2 < n; k += 2) {  // read 12 + 8, write 12
      const __m128 v = _mm_cvtpd_ps(_mm_loadu_pd(l + k));
      const __m128 v0 = _mm_shuffle_ps(v, v, 0), v1 = _mm_shuffle_ps(v, v, 0x55);
      _mm_storeu_ps(o + 3 * k, _mm_add_ps(_mm_loadu_ps(c + 3 * k), v0));
      _mm_storeu_ps(o + 3 * k + 3, _mm_add_ps(_mm_loadu_ps(c + 3 * k + 3), v1));
    }
#endif
    for (; k < n; k++) {
      const float v = (float)l[k];
      for (int i = 0; i < 3; i++) o[3 * k + i] = c[3 * k + i] + v;
    }
    benchmark::ClobberMemory();
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Milliseconds of CPU time per frame, medians over the iterations.
struct Result {
  double ms = 0.0, reference_ms = 0.0;
};
std::map<std::string, std::map<std::pair<int, int>, Result>> &Results() {
  static std::map<std::string, std::map<std::pair<int, int>, Result>> results;
  return results;
}

// Every iteration converts the frame (MakeFrame at the start of the movie) and then runs the reference, timing each on the thread's CPU
// clock (user and system time, so the read from the page cache counts).
// Each finds the caches as the other left them, as a frame of a movie finds
// them after the previous frame was shown. The machine is shared: taking
// the two in turns, and CPU time rather than wall-clock time, keeps the
// other processes out of the ratio as far as possible. The benchmark's own
// time column is the conversion's.
void Convert(benchmark::State &state, int mode, const char *name) {
  const int W = (int)state.range(0), H = (int)state.range(1);
  const Movie &m = MovieFor(W, H);
  Session &s = OpenPlayer(m, W, H);
  // Playing on, the adapted log-average settles at the frame's own.
  s.adapted[0] = m.logAv;
  Reference reference((size_t)W * H);
  s.settings.tmo = mode;
  std::vector<double> conversion_ms, reference_ms;
  auto convert = [&] {
    if (ConvertFirstFrame(s) != FRAME_MADE) state.SkipWithError("a frame could not be read");
    benchmark::DoNotOptimize(s.shown->out[0][0]);
  };
  convert();
  reference.Run();
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    convert();
    const double t1 = ThreadSeconds();
    reference.Run();
    const double t2 = ThreadSeconds();
    state.SetIterationTime(t1 - t0);
    conversion_ms.push_back(1000.0 * (t1 - t0));
    reference_ms.push_back(1000.0 * (t2 - t1));
  }
  Result &r = Results()[name][{W, H}];
  r.ms = Median(conversion_ms);
  r.reference_ms = Median(reference_ms);
  state.counters["ms"] = r.ms;
  state.counters["ref_ms"] = r.reference_ms;
  state.counters["x_reference"] = r.ms / r.reference_ms;
  state.counters["fps"] = 1000.0 / r.ms;
  if (mode == 1) {
    state.counters["rough_blocks"] = m.rough_blocks;
    state.counters["log_cells"] = m.log_cells;
  }
}

void Tonemapped(benchmark::State &state) { Convert(state, 1, "tonemapped"); }
void Plain(benchmark::State &state) { Convert(state, 0, "plain"); }

// The stages of a tone-mapped frame one by one, to see where the time goes.
// Tonemapping works in place, so its input is put back, untimed, before
// every run.
void Stage(benchmark::State &state, int stage) {
  const int W = (int)state.range(0), H = (int)state.range(1);
  const Movie &m = MovieFor(W, H);
  Session &s = OpenPlayer(m, W, H);
  s.adapted[0] = m.logAv;
  s.settings.tmo = 1;
  if (ConvertFirstFrame(s) != FRAME_MADE) state.SkipWithError("a frame could not be read");
  const ConversionSettings cs = FrameConversion(s);
  const size_t npixels = s.movie.npixels;
  Frame &f = *s.shown;
  FrameScratch &r = s.scratch;
  DecodeFrame(cs, f.rgbe, r.lum, r.fframe);
  std::vector<double> loaded(r.lum, r.lum + npixels);
  TonemapRecord(cs, r.lum, m.maxLum, m.logAv, &s.adapted[0], 0);
  for (auto _ : state) {
    switch (stage) {
      case 0:
        if (ReadPixelsAt(s.movie, MOVIE_HEADER_SIZE, f.rgbe) != 0) state.SkipWithError("short read");
        break;
      case 1:
        DecodeFrame(cs, f.rgbe, r.lum, r.fframe);
        break;
      case 2:
        state.PauseTiming();
        memcpy(r.lum, loaded.data(), 8 * npixels);
        s.adapted[0] = m.logAv;
        state.ResumeTiming();
        TonemapRecord(cs, r.lum, m.maxLum, m.logAv, &s.adapted[0], 0);
        break;
      case 3:
        ColourFrame(cs, r.lum, r.fframe, f.out[0], nullptr);
        break;
      case 4:
        ExposeFrame(cs, r.fframe, f.out[0], nullptr);
        break;
    }
    benchmark::ClobberMemory();
  }
}

// What looking inside the picture costs beside a frame's conversion: the
// histogram of the frame's raw pixels ('k'), and the clipping view of the
// tone-mapped picture as bytes ('c'), each made once per frame shown.
void Inspect(benchmark::State &state, int what, const char *name) {
  const int W = (int)state.range(0), H = (int)state.range(1);
  const Movie &m = MovieFor(W, H);
  Session &s = OpenPlayer(m, W, H);
  s.adapted[0] = m.logAv;
  s.settings.tmo = 1;
  if (ConvertFirstFrame(s) != FRAME_MADE) state.SkipWithError("a frame could not be read");
  const ConversionSettings cs = FrameConversion(s);
  const size_t npixels = s.movie.npixels;
  const Frame &f = *s.shown;
  std::vector<unsigned char> bytes(DISPLAY_PIXEL_BYTES * npixels), view(DISPLAY_PIXEL_BYTES * npixels);
  DisplayBytes(cs, f.out[0], bytes.data());
  Histogram histogram;
  std::vector<double> ms;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    if (what == 0)
      ComputeHistogram(s.pool, f.rgbe, W, H, &histogram);
    else
      ClippingViewBytes(s.pool, f.out[0], bytes.data(), npixels, view.data());
    const double t1 = ThreadSeconds();
    benchmark::ClobberMemory();
    state.SetIterationTime(t1 - t0);
    ms.push_back(1000.0 * (t1 - t0));
  }
  Results()[name][{W, H}].ms = Median(ms);
  state.counters["ms"] = Median(ms);
}

void InspectHistogram(benchmark::State &state) { Inspect(state, 0, "histogram"); }
void InspectClipping(benchmark::State &state) { Inspect(state, 1, "clipping"); }

// The difference view's extra cost: each iteration converts the frame
// tone mapped, then makes the difference picture as an 8-bit window draws
// it (display bytes only) of its raw pixels against a second side whose every pixel's
// mantissas differ (so that nearly every pixel takes a logarithm), the two
// in turn on the thread's CPU clock.
void Difference(benchmark::State &state) {
  const int W = (int)state.range(0), H = (int)state.range(1);
  const Movie &m = MovieFor(W, H);
  Session &s = OpenPlayer(m, W, H);
  s.adapted[0] = m.logAv;
  s.settings.tmo = 1;
  if (ConvertFirstFrame(s) != FRAME_MADE) state.SkipWithError("a frame could not be read");
  const size_t npixels = s.movie.npixels;
  std::vector<unsigned char> other(s.shown->rgbe, s.shown->rgbe + 4 * npixels);
  for (size_t k = 0; k < npixels; k++)
    for (int c = 0; c < 3; c++) other[4 * k + c] = (unsigned char)(128 + (Hash((uint32_t)k, (uint32_t)c, 7) & 127));
  std::vector<unsigned char> bytes(DISPLAY_PIXEL_BYTES * npixels);
  std::vector<double> conversion_ms, difference_ms;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    if (ConvertFirstFrame(s) != FRAME_MADE) state.SkipWithError("a frame could not be read");
    const double t1 = ThreadSeconds();
    MakeDifference(s.pool, std::min(bench_difference_kernels, ChooseDifferenceKernels(s.settings.avx)), s.shown->rgbe, other.data(), npixels, nullptr, bytes.data());
    const double t2 = ThreadSeconds();
    benchmark::ClobberMemory();
    state.SetIterationTime(t2 - t1);
    conversion_ms.push_back(1000.0 * (t1 - t0));
    difference_ms.push_back(1000.0 * (t2 - t1));
  }
  Result &r = Results()["difference"][{W, H}];
  r.ms = Median(difference_ms);
  r.reference_ms = Median(conversion_ms);
  state.counters["ms"] = r.ms;
  state.counters["tonemapped_ms"] = r.reference_ms;
  state.counters["share"] = r.ms / r.reference_ms;
}

const int kSizes[][2] = {{720, 486}, {1920, 1080}, {3840, 2160}};

void Register() {
  for (const auto &s : kSizes) {
    benchmark::RegisterBenchmark("tonemapped", Tonemapped)
        ->Args({s[0], s[1]})
        ->UseManualTime()
        ->MinTime(2.0)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("plain", Plain)
        ->Args({s[0], s[1]})
        ->UseManualTime()
        ->MinTime(2.0)
        ->Unit(benchmark::kMillisecond);
  }
  for (const auto &s : kSizes) {
    benchmark::RegisterBenchmark("inspect/histogram", InspectHistogram)
        ->Args({s[0], s[1]})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("inspect/clipping", InspectClipping)
        ->Args({s[0], s[1]})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("compare/difference", Difference)
        ->Args({s[0], s[1]})
        ->UseManualTime()
        ->MinTime(2.0)
        ->Unit(benchmark::kMillisecond);
  }
  // The stages keep the names of the player's former wrappers: read,
  // DecodeFrame, TonemapRecord, ColourFrame and ExposeFrame.
  const char *stages[] = {"stage/read", "stage/LoadFrame", "stage/Tonemapping", "stage/PixelOutTmo",
                          "stage/PixelOut"};
  for (int i = 0; i < 5; i++)
    for (const auto &s : kSizes)
      benchmark::RegisterBenchmark(stages[i], Stage, i)->Args({s[0], s[1]})->Unit(benchmark::kMillisecond);
}

void Summary() {
  auto &res = Results();
  if (bench_threads)
    printf("\nWall-clock milliseconds per frame on %u thread%s (medians); each path beside the reference "
           "(one thread) run in turn with it\n", bench_threads, bench_threads == 1 ? "" : "s");
  else
    printf("\nCPU milliseconds per frame (medians); each path beside the reference run in turn with it\n");
  printf("conversion kernels: %s\n", bench_avx ? "AVX2" : "SSE2 (--sse2, or a processor without AVX2)");
  printf("%-11s %-11s %10s %10s %8s %8s\n", "size", "path", "path ms", "ref ms", "x ref", "fps");
  for (const auto &s : kSizes)
    for (const char *path : {"tonemapped", "plain"}) {
      const auto it = res[path].find({s[0], s[1]});
      if (it == res[path].end() || it->second.ms <= 0) continue;
      const Result &r = it->second;
      char size[32];
      snprintf(size, sizeof size, "%dx%d", s[0], s[1]);
      printf("%-11s %-11s %10.2f %10.2f %8.2f %8.1f\n", size, path, r.ms, r.reference_ms,
             r.ms / r.reference_ms, 1000.0 / r.ms);
    }
  // The views inside the picture as a share of the conversion of a frame.
  for (const auto &s : kSizes)
    for (const char *view : {"histogram", "clipping"}) {
      const auto it = res[view].find({s[0], s[1]});
      if (it == res[view].end() || it->second.ms <= 0) continue;
      const double ms = it->second.ms;
      const auto plain = res["plain"].find({s[0], s[1]}), tonemapped = res["tonemapped"].find({s[0], s[1]});
      printf("%dx%d %s: %.3f ms", s[0], s[1], view, ms);
      if (plain != res["plain"].end() && plain->second.ms > 0)
        printf(", %.1f%% of a plain frame's conversion", 100.0 * ms / plain->second.ms);
      if (tonemapped != res["tonemapped"].end() && tonemapped->second.ms > 0)
        printf(", %.1f%% of a tone-mapped one", 100.0 * ms / tonemapped->second.ms);
      printf("\n");
    }
  // The difference view beside the tone-mapped conversion it ran in turn with.
  for (const auto &s : kSizes) {
    const auto it = res["difference"].find({s[0], s[1]});
    if (it == res["difference"].end() || it->second.reference_ms <= 0) continue;
    printf("%dx%d difference view: %.3f ms, %.1f%% of the tone-mapped conversion run in turn with it (%.3f ms)\n",
           s[0], s[1], it->second.ms, 100.0 * it->second.ms / it->second.reference_ms, it->second.reference_ms);
  }
  for (const auto &[key, m] : Movies())
    printf("scene %dx%d: dynamic range %.3g:1, rough blocks %.1f%%, cells at or above 2: %.1f%%\n",
           key.first, key.second, m.dynamic_range, 100 * m.rough_blocks, 100 * m.log_cells);
}

}  // namespace

int main(int argc, char **argv) {
  // --sse2 measures the SSE2 kernels on a processor that has AVX2; --avx2
  // the difference view's AVX2 kernels on one that has AVX-512F.
  int kept = 1;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--sse2") == 0)
      bench_avx = 0;
    else if (strcmp(argv[i], "--avx2") == 0)
      bench_difference_kernels = DIFFERENCE_AVX2;
    else if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
      bench_threads = ParseThreadCount(argv[++i]);
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  // --threads N: the conversion shared out among N threads, as the player
  // does with -j N.
  if (bench_threads > 1) bench_pool.reset(new WorkerPool(bench_threads));
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Summary();
  session.reset();
  for (const auto &[key, m] : Movies()) unlink(m.path.c_str());
  return 0;
}

