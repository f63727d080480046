// The movie builder against stb_image on the same pictures.
//
// Writes a sequence of 720 x 486 run-length-encoded pictures (a synthetic
// rendered scene, every frame a little different) into a temporary
// directory, reads them once so that they sit in the page cache, and then
// times:
//
//   StbLoadf       stbi_loadf on every picture (decoding only);
//   HalvpackEmpty  the halvpack binary on an empty list (process start, the
//                  12-byte header, exit), the fixed cost of a run;
//   Halvpack/N     the halvpack binary on a list of N pictures, the movie
//                  written to a file in the same directory.
//
// Times are CPU times (user + system: halvpack's from wait4, stb_image's
// from the thread's clock), so that other work on the machine does not count;
// halvpack's include the system time of reading the pictures and writing the
// movie. Halvpack/N reports pictures per second and MB/s of movie written
// (both per CPU second), the time of one picture with the fixed cost taken off (per_picture_ms), that
// time over stb_image's decoding time of one picture (x_stb; the target is at
// most 1.5), its wall time (wall_ms), and the child's peak resident memory
// (peak_rss_MiB) against the empty-list run's (rss_over_empty_MiB), to
// compare with 3 decoded float pictures (limit_MiB = 3 x 720 x 486 x 12
// bytes). The same peak for N = 1 and for long lists shows that memory does
// not grow with the list. halvpack is started through this program itself
// (--measure, see Measure) so that its peak memory is its own.
//
//   bench/halvpack/halvpack_bench [--benchmark_repetitions=5 ...]
//
// The halvpack binary is the one built beside this program; the environment
// variable HALVPACK overrides it. With HALVPACK_BENCH_DIR=dir the pictures,
// the list and the movie are written to dir and left there (for profiling
// halvpack on them).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "rgbe.h"

#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

extern char **environ;

namespace {

constexpr int WIDTH = 720, HEIGHT = 486;
constexpr int NPICTURES = 12;  // distinct pictures; longer lists repeat them
constexpr double RECORD = 16.0 + 4.0 * WIDTH * HEIGHT;
constexpr double FLOAT_PICTURE = 12.0 * WIDTH * HEIGHT;

std::string workdir;
std::vector<std::string> pictures;
double stb_seconds_per_picture = 0.0;
double empty_run_seconds = 0.0;
long empty_run_rss_kib = 0;

// A rendered-looking frame: a black sky above a horizon, a bright light, a
// checkered floor lit from one side with soft shadows, a shaded sphere and
// fine noise, as a ray tracer without antialiasing leaves it. Frame k moves
// the light and the sphere.
std::vector<float> Frame(int k) {
  std::mt19937 rng(1000 + k);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> img((size_t)WIDTH * HEIGHT * 3);
  const float lx = 500.0f + 8.0f * k, ly = 60.0f;
  const float sx = 250.0f + 6.0f * k, sy = 300.0f, sr = 90.0f;
  for (int y = 0; y < HEIGHT; y++) {
    for (int x = 0; x < WIDTH; x++) {
      float *p = &img[((size_t)y * WIDTH + x) * 3];
      const float dlx = x - lx, dly = y - ly;
      if (dlx * dlx + dly * dly < 20.0f * 20.0f) {  // the light itself
        p[0] = 4000.0f;
        p[1] = 3800.0f;
        p[2] = 3000.0f;
      } else if (y < 200) {  // black sky with a faint glow round the light
        const float glow = 3000.0f / (dlx * dlx + dly * dly);
        p[0] = p[1] = p[2] = glow < 0.002f ? 0.0f : glow;
      } else {
        const float dsx = x - sx, dsy = y - sy;
        const float d2 = dsx * dsx + dsy * dsy;
        if (d2 < sr * sr) {  // shaded sphere
          const float nz = std::sqrt(1.0f - d2 / (sr * sr));
          const float shade = std::fmax(0.0f, 0.3f * nz + 0.6f * (-dsx / sr) * 0.5f + 0.4f * (-dsy / sr));
          p[0] = 12.0f * shade + 0.01f;
          p[1] = 3.0f * shade + 0.005f;
          p[2] = 1.5f * shade + 0.005f;
        } else {  // checkered floor, light falling off with distance
          const float u = (x - WIDTH / 2) * 60.0f / (y - 180.0f), v = 4000.0f / (y - 180.0f);
          const bool white = ((int)std::floor(u / 40.0f) + (int)std::floor(v / 10.0f)) & 1;
          const float albedo = white ? 0.9f : 0.02f;
          const float shadow = (x > sx && x < sx + 2.2f * sr && y > sy + 40 && y < sy + sr + 60) ? 0.05f : 1.0f;
          const float light = 30.0f * shadow / (1.0f + 0.00002f * (dlx * dlx + dly * dly));
          const float grain = 1.0f + 0.01f * noise(rng);
          p[0] = albedo * light * grain;
          p[1] = albedo * light * 0.95f * grain;
          p[2] = albedo * light * 0.8f * grain;
        }
      }
    }
  }
  return img;
}

bool keep = false;  // HALVPACK_BENCH_DIR given: the pictures stay there

void WritePictures() {
  char tmpl[] = "/tmp/halvpack-bench-XXXXXX";
  if (const char *dir = getenv("HALVPACK_BENCH_DIR")) {
    workdir = dir;
    keep = true;
    mkdir(dir, 0777);
  } else if (mkdtemp(tmpl) != nullptr) {
    workdir = tmpl;
  } else {
    perror("mkdtemp");
    exit(1);
  }
  for (int k = 0; k < NPICTURES; k++) {
    char name[64];
    snprintf(name, sizeof(name), "frame%02d.hdr", k);
    const std::string path = workdir + "/" + name;
    FILE *fp = fopen(path.c_str(), "wb");
    const std::vector<float> img = Frame(k);
    if (fp == nullptr || RGBE_WriteHeader(fp, WIDTH, HEIGHT, nullptr) != 0 ||
        RGBE_WritePixels_RLE(fp, img.data(), WIDTH, HEIGHT) != 0 || fclose(fp) != 0) {
      fprintf(stderr, "cannot write %s\n", path.c_str());
      exit(1);
    }
    pictures.push_back(path);
  }
  // Read everything once: the timed runs find it in the page cache.
  std::vector<char> buf(1 << 20);
  for (const std::string &p : pictures) {
    FILE *fp = fopen(p.c_str(), "rb");
    while (fread(buf.data(), 1, buf.size(), fp) > 0) {
    }
    fclose(fp);
  }
}

void RemovePictures() {
  if (keep) return;
  for (const std::string &p : pictures) unlink(p.c_str());
  for (const char *f : {"/list", "/movie"}) unlink((workdir + f).c_str());
  rmdir(workdir.c_str());
}

std::string HalvpackPath() {
  const char *env = getenv("HALVPACK");
  return env ? env : HALVPACK_BINARY;
}

std::string WriteList(int n) {
  const std::string list = workdir + "/list";
  FILE *fp = fopen(list.c_str(), "w");
  for (int i = 0; i < n; i++) fprintf(fp, "%s\n", pictures[(size_t)i % pictures.size()].c_str());
  fclose(fp);
  return list;
}

struct RunResult {
  double wall_seconds;  // start to exit, process start-up included
  double cpu_seconds;   // user + system time of halvpack
  long maxrss_kib;      // halvpack's peak resident memory
};

double Seconds(const struct timeval &tv) { return (double)tv.tv_sec + 1e-6 * (double)tv.tv_usec; }

// Launcher mode (--measure BIN ARGS...): runs BIN with its messages sent to
// /dev/null and prints its wall time, CPU time and peak resident memory.
// The peak a child reports includes the memory of the process it was forked
// from (Linux records the old address space's high-water mark at exec), so
// halvpack is forked from this small, freshly started launcher rather than
// from the benchmark process, which holds all the pictures.
int Measure(char **argv) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execv(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 1;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%d %.9f %.9f %ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128, wall,
         Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss);
  return 0;
}

std::string self_path;

RunResult RunHalvpack(const std::string &list, benchmark::State &state) {
  const std::string bin = HalvpackPath(), movie = workdir + "/movie";
  const char *argv[] = {self_path.c_str(), "--measure", bin.c_str(), "-x", "720", "-y", "486",
                        "-i", list.c_str(), "-o", movie.c_str(), nullptr};
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("pipe");
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid;
  const int err = posix_spawn(&pid, self_path.c_str(), &actions, nullptr, (char *const *)argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  RunResult r{};
  int exit_status = -1;
  FILE *in = fdopen(fds[0], "r");
  if (err == 0 && fscanf(in, "%d %lf %lf %ld", &exit_status, &r.wall_seconds, &r.cpu_seconds, &r.maxrss_kib) != 4)
    exit_status = -1;
  fclose(in);
  if (err == 0) waitpid(pid, nullptr, 0);
  if (exit_status != 0) state.SkipWithError(("halvpack failed: " + bin).c_str());
  return r;
}

double ThreadCpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

void StbLoadf(benchmark::State &state) {
  double total = 0.0;
  long count = 0;
  for (auto _ : state) {
    const double start = ThreadCpuSeconds();
    for (const std::string &p : pictures) {
      int w, h, comp;
      float *img = stbi_loadf(p.c_str(), &w, &h, &comp, 3);
      if (img == nullptr || w != WIDTH || h != HEIGHT) state.SkipWithError("stb_image cannot read a picture");
      benchmark::DoNotOptimize(img);
      stbi_image_free(img);
    }
    const double s = ThreadCpuSeconds() - start;
    state.SetIterationTime(s);
    total += s;
    count += (long)pictures.size();
  }
  stb_seconds_per_picture = total / (double)count;
  state.SetItemsProcessed(count);
  state.counters["per_picture_ms"] = 1e3 * stb_seconds_per_picture;
}

void HalvpackEmpty(benchmark::State &state) {
  const std::string list = WriteList(0);
  double total = 0.0;
  long runs = 0, rss = 0;
  for (auto _ : state) {
    const RunResult r = RunHalvpack(list, state);
    state.SetIterationTime(r.cpu_seconds);
    total += r.cpu_seconds;
    rss = std::max(rss, r.maxrss_kib);
    runs++;
  }
  empty_run_seconds = total / (double)runs;
  empty_run_rss_kib = rss;
  state.counters["peak_rss_MiB"] = rss / 1024.0;
}

void Halvpack(benchmark::State &state) {
  const int n = (int)state.range(0);
  const std::string list = WriteList(n);
  double total = 0.0, wall = 0.0;
  long runs = 0, rss = 0;
  for (auto _ : state) {
    const RunResult r = RunHalvpack(list, state);
    state.SetIterationTime(r.cpu_seconds);
    total += r.cpu_seconds;
    wall += r.wall_seconds;
    rss = std::max(rss, r.maxrss_kib);
    runs++;
  }
  const double per_picture = (total / (double)runs - empty_run_seconds) / n;
  state.SetItemsProcessed((int64_t)runs * n);
  state.SetBytesProcessed((int64_t)(runs * (12.0 + n * RECORD)));
  state.counters["per_picture_ms"] = 1e3 * per_picture;
  state.counters["wall_ms"] = 1e3 * wall / (double)runs;
  if (stb_seconds_per_picture > 0.0) state.counters["x_stb"] = per_picture / stb_seconds_per_picture;
  state.counters["peak_rss_MiB"] = rss / 1024.0;
  state.counters["rss_over_empty_MiB"] = (rss - empty_run_rss_kib) / 1024.0;
  state.counters["limit_MiB"] = 3.0 * FLOAT_PICTURE / 1048576.0;
}

}  // namespace

// Registered in this order on purpose: Halvpack uses the figures of the two
// before it.
BENCHMARK(StbLoadf)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(HalvpackEmpty)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(Halvpack)->Arg(1)->Arg(NPICTURES)->Arg(4 * NPICTURES)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char **argv) {
  if (argc > 2 && strcmp(argv[1], "--measure") == 0) return Measure(argv + 2);
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self_path = len > 0 ? std::string(self, (size_t)len) : std::string(argv[0]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  WritePictures();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  RemovePictures();
  return 0;
}
