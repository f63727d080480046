// The export's own stages on a 1920 x 1080 picture, apart from the player's
// conversion: gamma quantisation of the float picture (the player's upload
// rounding at gamma 1, the threshold tables at 2.2, both depths, on the
// processor's kernels and on SSE2 alone) and PNG encoding of the samples.
//   build-dir/bench/halvexport/halvexport_export_bench
// The whole program on a movie: bench/halvexport/export.sh.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "exporter.h"

namespace {

constexpr int W = 1920, H = 1080;

// A tone-mapped picture's values: in [0, 1], smooth with a little noise, as
// rendered frames have.
const std::vector<float> &Picture() {
  static std::vector<float> picture;
  if (picture.empty()) {
    picture.resize(3 * (size_t)W * H);
    uint32_t h = 12345;
    for (size_t i = 0; i < picture.size(); i++) {
      h = h * 1664525u + 1013904223u;
      const size_t p = i / 3, x = p % W, y = p / W;
      const double base = 0.5 + 0.45 * std::sin(x * 0.004 + (i % 3)) * std::cos(y * 0.006);
      picture[i] = (float)(base * (0.99 + 0.02 * (h >> 8) / 16777216.0));
    }
  }
  return picture;
}

void Quantise(benchmark::State &state) {
  const double gamma = state.range(0) / 10.0;
  const int depth = (int)state.range(1);
  Quantiser q;
  BuildQuantiser(&q, gamma, depth);
  if (state.range(2) == 0) q.avx = 0;
  const size_t stride = 3 * (size_t)W * (depth / 8);
  std::vector<unsigned char> samples(stride * H);
  for (auto _ : state) {
    QuantisePicture(q, Picture().data(), W, H, samples.data(), stride, 0);
    benchmark::DoNotOptimize(samples.data());
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)W * H);
}

void EncodePng(benchmark::State &state) {
  const int depth = (int)state.range(0);
  Quantiser q;
  BuildQuantiser(&q, DISPLAY_GAMMA, depth);
  const size_t stride = 3 * (size_t)W * (depth / 8);
  std::vector<unsigned char> samples(stride * H);
  QuantisePicture(q, Picture().data(), W, H, samples.data(), stride, 0);
  const int fd = open("/dev/null", O_WRONLY);
  std::string error;
  for (auto _ : state) WritePng(fd, W, H, depth, samples.data(), stride, &error);
  close(fd);
  state.SetItemsProcessed(state.iterations() * (int64_t)W * H);
}

void BuildTables(benchmark::State &state) {
  for (auto _ : state) {
    Quantiser q;
    BuildQuantiser(&q, DISPLAY_GAMMA, (int)state.range(0));
    benchmark::DoNotOptimize(q.thresholds.data());
  }
}

}  // namespace

// gamma x 10, depth, 1 for the processor's kernels or 0 for SSE2 alone.
BENCHMARK(Quantise)->Args({10, 8, 1})->Args({10, 8, 0})->Args({22, 8, 1})->Args({22, 8, 0})->Args({22, 16, 1})
    ->Args({22, 16, 0})->Args({10, 16, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(EncodePng)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BuildTables)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
