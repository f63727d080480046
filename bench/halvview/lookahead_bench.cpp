// Playback with look-ahead adaptation against the causal mode: the player's
// HandleNextFrame stepping through a tone-mapped 720 x 486 movie in the page
// cache, frame after frame, in each mode. The look-ahead's share is the
// statistics it reads and the windows it averages; the rest is the same
// conversion. Run with repetitions and interleaving to even out a busy
// machine:
//   lookahead_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lookahead.h"
#include "movie_file.h"
#include "rgbe.h"
#include "session.h"

namespace {

constexpr int W = 720, H = 486, FRAMES = 64;

// A movie of smooth gradients under a bright patch whose level drifts, with
// a cut every 16 frames and flicker in the statistics.
std::string WriteMovie() {
  const std::string path = "/tmp/halvorn_lookahead_bench_" + std::to_string(getpid()) + ".movie";
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return "";
  MovieHeader h{};
  h.width = W;
  h.height = H;
  h.format = MOVIE_FORMAT;
  h.eyes = 1;
  h.nframes = FRAMES;
  WriteMovieHeader(f, h);
  std::vector<unsigned char> rgbe(4 * (size_t)W * H);
  for (int k = 0; k < FRAMES; k++) {
    const double level = (k / 16 % 2 ? 8.0 : 0.5) * (k % 2 ? 1.1 : 0.9);
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++) {
        const bool sun = (x - 500) * (x - 500) + (y - 380) * (y - 380) < 400;
        const float v = (float)(level * (sun ? 5000.0 : (0.05 + (double)x / W) * (0.2 + (double)y / H)));
        float2rgbe(&rgbe[4 * ((size_t)y * W + x)], v, 0.8f * v, 0.6f * v);
      }
    WriteMovieRecord(f, level * 5000.0, level * 0.3, rgbe.data(), (size_t)W * H);
  }
  fclose(f);
  return path;
}

std::string moviepath;

void Play(benchmark::State &state) {
  // The player's session on the movie, on the calling thread alone (no
  // workers, so nothing is prepared ahead).
  Session session;
  if (OpenSessionMovie(&session, moviepath.c_str(), 0) != MOVIE_OPENED) {
    state.SkipWithError("cannot open the movie");
    return;
  }
  if (AllocateShownFrame(&session, ShownEyes(session)) != BUFFERS_ALLOCATED) {
    state.SkipWithError("no memory");
    return;
  }
  session.settings.avx = ProcessorHasAVX2();
  session.settings.tmo = 1;
  session.settings.lookahead = (int)state.range(0);
  session.autoplay = 1;
  session.currentframe = 0;
  if (!HandleNextFrame(&session, 0)) state.SkipWithError("read failed");
  for (auto _ : state) {
    if (!HandleNextFrame(&session, session.currentframe + 1)) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(session.shown->out[0][0]);
  }
  state.SetLabel(session.settings.lookahead ? "look-ahead" : "causal");
}

// The look-ahead's own share of a frame: the tone mapper's call for the
// normaliser and peak, frame after frame. With Arg 1 every pass through the
// movie starts from a fresh cache, so each frame also reads its new record.
void Window(benchmark::State &state) {
  MovieFile movie;
  if (OpenMovieFile(&movie, moviepath.c_str(), 0) != MOVIE_OPENED) {
    state.SkipWithError("cannot open the movie");
    return;
  }
  const int radius = LOOKAHEAD_DEFAULT_RADIUS;
  StatisticsCache cache;
  OpenStatisticsCache(&cache, &movie);
  int64_t k = 0;
  for (auto _ : state) {
    double avLum = 0.25, peak = 100.0;
    LookAheadNormaliser(&cache, 0, k, radius, &avLum, &peak);
    benchmark::DoNotOptimize(avLum);
    benchmark::DoNotOptimize(peak);
    if (++k == FRAMES) {
      k = 0;
      if (state.range(0)) OpenStatisticsCache(&cache, &movie);
    }
  }
  state.SetLabel(state.range(0) ? "reading each record once a pass" : "cached");
  CloseStatisticsCache(&cache);
  CloseMovieFile(&movie);
}

}  // namespace

BENCHMARK(Play)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Window)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
  moviepath = WriteMovie();
  if (moviepath.empty()) {
    fprintf(stderr, "Cannot write the movie in /tmp\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(moviepath.c_str());
  return 0;
}
