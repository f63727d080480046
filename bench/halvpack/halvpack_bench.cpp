// The movie builder against the decoders it must keep up with, on the same
// pictures:
//
//   rle720    12 run-length-encoded RGBE pictures of 720 x 486, a rendered
//             scene as a ray tracer without antialiasing leaves it
//             (POV-Ray style), every frame a little different;
//   rle1080   6 such pictures of 1920 x 1080;
//   exr_zip,  the 1920 x 1080 frames as OpenEXR files of half floats (R, G,
//   exr_piz   B), ZIP and PIZ compressed, written with the OpenEXR library.
//
// The pictures are written into a temporary directory and read once, so
// that the timed runs find them in the page cache. Then:
//
//   Reference/<set>      the time to decode one picture on one thread:
//                        stb_image's stbi_loadf for the RGBE sets, the
//                        OpenEXR library reading R, G and B as halves (its
//                        own type, no conversion) for the OpenEXR sets;
//   HalvpackEmpty        the halvpack binary on an empty list (process
//                        start, the 12-byte header, exit): the fixed cost of
//                        a run;
//   Halvpack/<set>/N/jT  the halvpack binary on a list of N pictures with
//                        -j T, the movie written to a file in the same
//                        directory.
//
// Reference times are the thread's CPU time. Halvpack's are CPU times (user +
// system, from wait4) and wall times, both with the empty run's taken off and
// divided by N: per_picture_ms (CPU, the work one picture costs, the figure
// to compare at -j 1) and wall_per_picture_ms (what a picture takes when T
// workers share the cores). x_ref is per_picture_ms over the reference's
// time at -j 1, wall_per_picture_ms over it otherwise. peak_rss_MiB is
// halvpack's peak resident memory, against the empty run's
// (rss_over_empty_MiB) and against the N + 1 pictures in flight that -j N
// allows (record_MiB: one picture's record). halvpack is started through
// this program itself (--measure, see Measure) so that its peak memory is its
// own.
//
//   bench/halvpack/halvpack_bench [--benchmark_filter=rle720] [--benchmark_repetitions=5 ...]
//
// The halvpack binary is the one built beside this program; the environment
// variable HALVPACK overrides it. With HALVPACK_BENCH_DIR=dir the pictures,
// the lists and the movie are written to dir and left there (for profiling
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
#include <map>
#include <random>
#include <string>
#include <vector>

#if HALVPACK_BENCH_OPENEXR
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfRgbaFile.h>
#endif

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

extern char **environ;

namespace {

struct PictureSet {
  std::string name;
  int width, height;
  std::vector<std::string> pictures;
  double reference_seconds = 0.0;  // one picture's decoding, one thread
};

std::string workdir;
std::map<std::string, PictureSet> sets;
double empty_cpu_seconds = 0.0, empty_wall_seconds = 0.0;
long empty_rss_kib = 0;

// A rendered-looking frame of w x h: a black sky above a horizon, a bright
// light, a checkered floor lit from one side with soft shadows, a shaded
// sphere and fine noise, as a ray tracer without antialiasing leaves it.
// Frame k moves the light and the sphere. Coordinates are those of a
// 720 x 486 frame, scaled.
std::vector<float> Frame(int k, int w, int h) {
  std::mt19937 rng(1000 + k);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> img((size_t)w * h * 3);
  const float sx0 = 720.0f / w, sy0 = 486.0f / h;
  const float lx = 500.0f + 8.0f * k, ly = 60.0f;
  const float sx = 250.0f + 6.0f * k, sy = 300.0f, sr = 90.0f;
  for (int py = 0; py < h; py++) {
    for (int px = 0; px < w; px++) {
      const float x = px * sx0, y = py * sy0;
      float *p = &img[((size_t)py * w + px) * 3];
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
          const float u = (x - 360.0f) * 60.0f / (y - 180.0f), v = 4000.0f / (y - 180.0f);
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

bool keep = false;  // HALVPACK_BENCH_DIR given: the files stay there

void Fail(const std::string &what) {
  fprintf(stderr, "%s\n", what.c_str());
  exit(1);
}

void WriteHdr(const std::string &path, const std::vector<float> &img, int w, int h) {
  FILE *fp = fopen(path.c_str(), "wb");
  if (fp == nullptr || RGBE_WriteHeader(fp, w, h, nullptr) != 0 || RGBE_WritePixels_RLE(fp, img.data(), w, h) != 0 ||
      fclose(fp) != 0)
    Fail("cannot write " + path);
}

#if HALVPACK_BENCH_OPENEXR
void WriteExr(const std::string &path, const std::vector<float> &img, int w, int h, Imf::Compression compression) {
  std::vector<Imf::Rgba> pixels((size_t)w * h);
  for (size_t i = 0; i < pixels.size(); i++) pixels[i] = Imf::Rgba(img[3 * i], img[3 * i + 1], img[3 * i + 2]);
  Imf::RgbaOutputFile file(path.c_str(), w, h, Imf::WRITE_RGB, 1.0f, Imath::V2f(0, 0), 1.0f, Imf::INCREASING_Y,
                           compression, 0);
  file.setFrameBuffer(pixels.data(), 1, (size_t)w);
  file.writePixels(h);
}
#endif

void WritePictures() {
  char tmpl[] = "/tmp/halvpack-bench-XXXXXX";
  if (const char *dir = getenv("HALVPACK_BENCH_DIR")) {
    workdir = dir;
    keep = true;
    mkdir(dir, 0777);
  } else if (mkdtemp(tmpl) != nullptr) {
    workdir = tmpl;
  } else {
    Fail("mkdtemp failed");
  }
  sets["rle720"] = PictureSet{"rle720", 720, 486, {}};
  sets["rle1080"] = PictureSet{"rle1080", 1920, 1080, {}};
  for (int k = 0; k < 12; k++) {
    char name[64];
    snprintf(name, sizeof(name), "/frame%02d.hdr", k);
    WriteHdr(workdir + name, Frame(k, 720, 486), 720, 486);
    sets["rle720"].pictures.push_back(workdir + name);
  }
#if HALVPACK_BENCH_OPENEXR
  sets["exr_zip"] = PictureSet{"exr_zip", 1920, 1080, {}};
  sets["exr_piz"] = PictureSet{"exr_piz", 1920, 1080, {}};
#endif
  for (int k = 0; k < 6; k++) {
    const std::vector<float> img = Frame(k, 1920, 1080);
    char name[64];
    snprintf(name, sizeof(name), "/big%02d.hdr", k);
    WriteHdr(workdir + name, img, 1920, 1080);
    sets["rle1080"].pictures.push_back(workdir + name);
#if HALVPACK_BENCH_OPENEXR
    snprintf(name, sizeof(name), "/big%02d_zip.exr", k);
    WriteExr(workdir + name, img, 1920, 1080, Imf::ZIP_COMPRESSION);
    sets["exr_zip"].pictures.push_back(workdir + name);
    snprintf(name, sizeof(name), "/big%02d_piz.exr", k);
    WriteExr(workdir + name, img, 1920, 1080, Imf::PIZ_COMPRESSION);
    sets["exr_piz"].pictures.push_back(workdir + name);
#endif
  }
  // Read everything once: the timed runs find it in the page cache.
  std::vector<char> buf(1 << 20);
  for (const auto &set : sets)
    for (const std::string &p : set.second.pictures) {
      FILE *fp = fopen(p.c_str(), "rb");
      while (fread(buf.data(), 1, buf.size(), fp) > 0) {
      }
      fclose(fp);
    }
}

void RemovePictures() {
  if (keep) return;
  for (const auto &set : sets)
    for (const std::string &p : set.second.pictures) unlink(p.c_str());
  for (const char *f : {"/list", "/movie"}) unlink((workdir + f).c_str());
  rmdir(workdir.c_str());
}

std::string HalvpackPath() {
  const char *env = getenv("HALVPACK");
  return env ? env : HALVPACK_BINARY;
}

std::string WriteList(const PictureSet *set, int n) {
  const std::string list = workdir + "/list";
  FILE *fp = fopen(list.c_str(), "w");
  for (int i = 0; set && i < n; i++) fprintf(fp, "%s\n", set->pictures[(size_t)i % set->pictures.size()].c_str());
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

RunResult RunHalvpack(const PictureSet *set, const std::string &list, int threads, benchmark::State &state) {
  const std::string bin = HalvpackPath(), movie = workdir + "/movie";
  const std::string width = std::to_string(set ? set->width : 720), height = std::to_string(set ? set->height : 486);
  const std::string jobs = std::to_string(threads);
  const char *argv[] = {self_path.c_str(), "--measure", bin.c_str(), "-x", width.c_str(), "-y", height.c_str(),
                        "-j", jobs.c_str(), "-i", list.c_str(), "-o", movie.c_str(), nullptr};
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

// One picture's decoding by the reference decoder.
void Decode(const PictureSet &set, const std::string &path, benchmark::State &state) {
  if (set.name.compare(0, 3, "rle") == 0) {
    int w, h, comp;
    float *img = stbi_loadf(path.c_str(), &w, &h, &comp, 3);
    if (img == nullptr || w != set.width || h != set.height) state.SkipWithError("stb_image cannot read a picture");
    benchmark::DoNotOptimize(img);
    stbi_image_free(img);
    return;
  }
#if HALVPACK_BENCH_OPENEXR
  static std::vector<uint16_t> halves;
  Imf::InputFile file(path.c_str(), 0);
  const Imath::Box2i dw = file.header().dataWindow();
  const size_t w = (size_t)(dw.max.x - dw.min.x + 1), h = (size_t)(dw.max.y - dw.min.y + 1);
  halves.resize(3 * w * h);
  Imf::FrameBuffer frame;
  const char *names[3] = {"R", "G", "B"};
  for (int c = 0; c < 3; c++)
    frame.insert(names[c], Imf::Slice::Make(Imf::HALF, halves.data() + c, dw, 6, 6 * w));
  file.setFrameBuffer(frame);
  file.readPixels(dw.min.y, dw.max.y);
  benchmark::DoNotOptimize(halves.data());
#endif
}

void Reference(benchmark::State &state, PictureSet *set) {
  double total = 0.0;
  long count = 0;
  for (auto _ : state) {
    const double start = ThreadCpuSeconds();
    for (const std::string &p : set->pictures) Decode(*set, p, state);
    const double s = ThreadCpuSeconds() - start;
    state.SetIterationTime(s);
    total += s;
    count += (long)set->pictures.size();
  }
  set->reference_seconds = total / (double)count;
  state.SetItemsProcessed(count);
  state.counters["per_picture_ms"] = 1e3 * set->reference_seconds;
}

void HalvpackEmpty(benchmark::State &state) {
  const std::string list = WriteList(nullptr, 0);
  double cpu = 0.0, wall = 0.0;
  long runs = 0, rss = 0;
  for (auto _ : state) {
    const RunResult r = RunHalvpack(nullptr, list, 1, state);
    state.SetIterationTime(r.cpu_seconds);
    cpu += r.cpu_seconds;
    wall += r.wall_seconds;
    rss = std::max(rss, r.maxrss_kib);
    runs++;
  }
  empty_cpu_seconds = cpu / (double)runs;
  empty_wall_seconds = wall / (double)runs;
  empty_rss_kib = rss;
  state.counters["peak_rss_MiB"] = rss / 1024.0;
}

void Halvpack(benchmark::State &state, PictureSet *set, int n, int threads) {
  const std::string list = WriteList(set, n);
  double cpu = 0.0, wall = 0.0;
  long runs = 0, rss = 0;
  for (auto _ : state) {
    const RunResult r = RunHalvpack(set, list, threads, state);
    state.SetIterationTime(threads == 1 ? r.cpu_seconds : r.wall_seconds);
    cpu += r.cpu_seconds;
    wall += r.wall_seconds;
    rss = std::max(rss, r.maxrss_kib);
    runs++;
  }
  const double record = 16.0 + 4.0 * set->width * set->height;
  const double per_picture = (cpu / (double)runs - empty_cpu_seconds) / n;
  const double wall_per_picture = (wall / (double)runs - empty_wall_seconds) / n;
  state.SetItemsProcessed((int64_t)runs * n);
  state.SetBytesProcessed((int64_t)(runs * (12.0 + n * record)));
  state.counters["per_picture_ms"] = 1e3 * per_picture;
  state.counters["wall_per_picture_ms"] = 1e3 * wall_per_picture;
  if (set->reference_seconds > 0.0)
    state.counters["x_ref"] = (threads == 1 ? per_picture : wall_per_picture) / set->reference_seconds;
  state.counters["peak_rss_MiB"] = rss / 1024.0;
  state.counters["rss_over_empty_MiB"] = (rss - empty_rss_kib) / 1024.0;
  state.counters["record_MiB"] = record / 1048576.0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 && strcmp(argv[1], "--measure") == 0) return Measure(argv + 2);
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self_path = len > 0 ? std::string(self, (size_t)len) : std::string(argv[0]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  WritePictures();
  // Registered in this order on purpose: Halvpack uses the figures of the
  // two before it.
  for (auto &set : sets)
    benchmark::RegisterBenchmark(("Reference/" + set.first).c_str(), Reference, &set.second)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
  benchmark::RegisterBenchmark("HalvpackEmpty", HalvpackEmpty)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
  for (auto &set : sets) {
    const int n = 4 * (int)set.second.pictures.size();
    for (int threads : {1, 2}) {
      const std::string name = "Halvpack/" + set.first + "/" + std::to_string(n) + "/j" + std::to_string(threads);
      benchmark::RegisterBenchmark(name.c_str(), Halvpack, &set.second, n, threads)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond)
          ->MinTime(1.0);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  RemovePictures();
  return 0;
}
