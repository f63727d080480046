// Reads the same 1920 x 1080 run-length-encoded picture (header and pixels,
// from a file in the page cache) with the codec and with stb_image's
// stbi_loadf, then prints the ratio of the two median times.
//
// The picture is a synthetic HDR scene written by the codec itself: a sky
// gradient, a bright sun, flat walls, a black frame, textured ground and
// sensor noise. Pass a path as the first argument to use another picture.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "rgbe.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_HDR
#include "stb_image.h"
#pragma GCC diagnostic pop

namespace {

std::string picture;

std::vector<float> SyntheticScene(int w, int h) {
  std::mt19937 rng(2024);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> img((size_t)w * h * 3);
  const float sunx = 0.7f * w, suny = 0.2f * h, sunr = 0.04f * h;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      float *p = &img[((size_t)y * w + x) * 3];
      const float fy = (float)y / h, fx = (float)x / w;
      if (x < 24 || x >= w - 24 || y < 16 || y >= h - 16) {  // black frame
        p[0] = p[1] = p[2] = 0.0f;
      } else if (fy < 0.45f) {  // sky: smooth gradient, a very bright sun
        const float dx = x - sunx, dy = y - suny;
        const float d2 = dx * dx + dy * dy;
        if (d2 < sunr * sunr) {
          p[0] = 50000.0f;
          p[1] = 48000.0f;
          p[2] = 40000.0f;
        } else {
          const float glow = 2000.0f * sunr * sunr / d2;
          p[0] = 0.6f + 1.5f * fy + glow;
          p[1] = 0.9f + 1.2f * fy + 0.9f * glow;
          p[2] = 2.5f - fy + 0.6f * glow;
        }
      } else if (fx > 0.1f && fx < 0.35f && fy < 0.8f) {  // flat wall
        p[0] = 0.35f;
        p[1] = 0.3f;
        p[2] = 0.25f;
      } else if (fx > 0.5f && fx < 0.6f) {  // shadowed wall with fine noise
        const float n = 1.0f + 0.02f * noise(rng);
        p[0] = 0.01f * n;
        p[1] = 0.012f * n;
        p[2] = 0.02f * n;
      } else {  // textured ground under sensor noise
        const float tex = 0.5f + 0.4f * std::sin(0.05f * x) * std::cos(0.07f * y);
        const float light = 0.2f + 0.8f * (1.0f - fy);
        p[0] = std::fmax(0.0f, tex * light * 0.8f * (1.0f + 0.05f * noise(rng)));
        p[1] = std::fmax(0.0f, tex * light * 0.6f * (1.0f + 0.05f * noise(rng)));
        p[2] = std::fmax(0.0f, tex * light * 0.3f * (1.0f + 0.05f * noise(rng)));
        if (u(rng) < 0.001f) p[0] = p[1] = p[2] = 30.0f;  // specular glints
      }
    }
  }
  return img;
}

bool WritePicture(const std::string &path, int w, int h) {
  const std::vector<float> img = SyntheticScene(w, h);
  FILE *fp = fopen(path.c_str(), "wb");
  if (!fp) return false;
  bool ok = RGBE_WriteHeader(fp, w, h, nullptr) == 0 &&
            RGBE_WritePixels_RLE(fp, img.data(), w, h) == 0;
  return fclose(fp) == 0 && ok;
}

void BM_Codec(benchmark::State &state) {
  for (auto _ : state) {
    FILE *fp = fopen(picture.c_str(), "rb");
    int w = 0, h = 0;
    RGBE_PictureInfo info;
    if (!fp || RGBE_ReadHeader(fp, &w, &h, &info) != 0) {
      state.SkipWithError("header");
      if (fp) fclose(fp);
      break;
    }
    float *data = (float *)malloc((size_t)w * h * 12);
    if (RGBE_ReadPixels_RLE(fp, data, w, h) != 0) state.SkipWithError("pixels");
    benchmark::DoNotOptimize(data);
    benchmark::ClobberMemory();
    free(data);
    fclose(fp);
  }
}

void BM_Stb(benchmark::State &state) {
  for (auto _ : state) {
    int w, h, n;
    float *data = stbi_loadf(picture.c_str(), &w, &h, &n, 3);
    if (!data) {
      state.SkipWithError(stbi_failure_reason());
      break;
    }
    benchmark::DoNotOptimize(data);
    benchmark::ClobberMemory();
    stbi_image_free(data);
  }
}

BENCHMARK(BM_Codec)->Unit(benchmark::kMillisecond)->Repetitions(5)->MinTime(0.5);
BENCHMARK(BM_Stb)->Unit(benchmark::kMillisecond)->Repetitions(5)->MinTime(0.5);

// Console output as usual, plus the median times kept for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> real, cpu;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        real[r.run_name.function_name] = r.GetAdjustedRealTime();
        cpu[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  bool own = false;
  if (argc > 1) {
    picture = argv[1];
  } else {
    picture = "/tmp/halvorn-rgbe-bench-" + std::to_string(getpid()) + ".hdr";
    if (!WritePicture(picture, 1920, 1080)) {
      fprintf(stderr, "cannot write %s\n", picture.c_str());
      return 1;
    }
    own = true;
  }
  // Read it once so that both readers find it in the page cache.
  if (FILE *fp = fopen(picture.c_str(), "rb")) {
    char buf[65536];
    size_t total = 0, got;
    while ((got = fread(buf, 1, sizeof(buf), fp)) > 0) total += got;
    fprintf(stderr, "picture %s, %zu bytes\n", picture.c_str(), total);
    fclose(fp);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (own) remove(picture.c_str());
  if (reporter.real.count("BM_Codec") && reporter.real.count("BM_Stb")) {
    printf("ratio codec/stb (median real time): %.3f\n",
           reporter.real["BM_Codec"] / reporter.real["BM_Stb"]);
    printf("ratio codec/stb (median CPU time):  %.3f\n",
           reporter.cpu["BM_Codec"] / reporter.cpu["BM_Stb"]);
  }
  benchmark::Shutdown();
  return 0;
}
