// Fuzz target: look-ahead adaptation over a hostile movie's statistics,
// through the statistics cache the player uses, on a movie in memory.
//
// Input: the movie's 12 header bytes, then 2 control bytes, then the
// statistics (two doubles, 16 bytes, in the movie's byte order) of the
// picture records one after the other. The target writes a movie file with
// those statistics in front of each record (the pixels left as holes) into
// a file in memory, shortened by a number of bytes the first control byte
// gives; the player's header checks apply (sizes capped at 1024 here).
//
// Checks besides the sanitizers: for every frame the cache covers, in an
// order the second control byte gives and for two window radii, the
// normaliser and peak are exactly those of the rules worked out here from
// the input's statistics (lookahead.h), or are left as they were where the
// window holds no good record.
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lookahead.h"
#include "movie.h"
#include "movie_file.h"

namespace {

constexpr int MAX_SIDE = 1024;
constexpr size_t MAX_RECORDS = 512;

struct Stat {
  bool good;
  double s, m;
};

// The rules of lookahead.h, frame by frame from the start: which records
// are good, where segments start, the window's sums in increasing order.
struct Reference {
  std::vector<Stat> stats;  // of one eye, frame by frame
  std::vector<bool> start;

  explicit Reference(std::vector<Stat> of_eye) : stats(std::move(of_eye)), start(stats.size(), false) {
    int64_t previous = -1;
    for (size_t k = 0; k < stats.size(); k++) {
      if (k == 0) start[k] = true;
      if (!stats[k].good) continue;
      if (previous >= 0 && fabs(stats[k].s - stats[(size_t)previous].s) > log(2.0)) start[k] = true;
      previous = (int64_t)k;
    }
  }

  bool Values(int64_t k, int64_t R, double *logAvg, double *peak) const {
    const int64_t n = (int64_t)stats.size();
    int64_t a = k;
    while (!start[(size_t)a]) a--;
    int64_t b = k;
    while (b + 1 < n && !start[(size_t)(b + 1)]) b++;
    int64_t r = R;
    if (k - a < r) r = k - a;
    if (b - k < r) r = b - k;
    double S = 0.0, M = 0.0;
    int64_t count = 0;
    for (int64_t j = k - r; j <= k + r; j++) {
      if (!stats[(size_t)j].good) continue;
      S += stats[(size_t)j].s;
      M += stats[(size_t)j].m;
      count++;
    }
    if (count == 0) return false;
    *logAvg = exp(S / (double)count);
    *peak = exp(M / (double)count);
    return true;
  }
};

double ReadDouble(const uint8_t *p, bool swap) {
  uint64_t bits;
  memcpy(&bits, p, 8);
  if (swap) bits = __builtin_bswap64(bits);
  double d;
  memcpy(&d, &bits, 8);
  return d;
}

void Write(int fd, const void *data, size_t size, uint64_t at) {
  if (pwrite(fd, data, size, (off_t)at) != (ssize_t)size) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t HEAD = MOVIE_HEADER_SIZE + 2;
  if (size < HEAD) return 0;
  const uint8_t cut = data[MOVIE_HEADER_SIZE], order = data[MOVIE_HEADER_SIZE + 1];
  const bool byteswap = order & 1;
  MovieHeader header;
  memcpy(&header, data, sizeof(header));
  if (byteswap) SwapMovieHeader(&header);
  if (CheckMovieHeader(header) != nullptr || header.width > MAX_SIDE || header.height > MAX_SIDE) return 0;

  const int fd = memfd_create("movie", MFD_CLOEXEC);
  if (fd < 0) abort();
  MovieFile movie;
  AdoptMovieFile(&movie, fd, header, byteswap);
  Write(fd, data, MOVIE_HEADER_SIZE, 0);
  const uint8_t *stats = data + HEAD;
  const size_t nstats = std::min((size - HEAD) / 16, MAX_RECORDS);
  for (size_t i = 0; i < nstats; i++)
    Write(fd, stats + 16 * i, 16, RecordPosition(movie, (int64_t)(i / movie.records), (int)(i % movie.records)));
  // The file ends after the last frame with statistics, less `cut` x 7 bytes.
  const int64_t written = (int64_t)((nstats + movie.records - 1) / movie.records);
  const uint64_t end = FramePosition(movie, written), less = 7u * cut;
  if (ftruncate(fd, (off_t)(end > MOVIE_HEADER_SIZE + less ? end - less : MOVIE_HEADER_SIZE)) != 0) abort();

  StatisticsCache cache;
  OpenStatisticsCache(&cache, &movie);
  const int64_t frames = cache.frames;
  if (frames < 0 || frames > written || frames > header.nframes) abort();
  if (cache.eyes != (header.eyes == 2 ? 2 : 1)) abort();

  static const int radii[8] = {0, 1, 2, 3, 6, 17, 1000, INT_MAX};
  const int64_t step = frames > 0 ? 1 + (order >> 4) % frames : 1;
  for (int eye = 0; eye < cache.eyes; eye++) {
    std::vector<Stat> of_eye;
    for (int64_t k = 0; k < frames; k++) {
      const size_t i = (size_t)(k * movie.records + eye);
      const double maxLum = i < nstats ? ReadDouble(stats + 16 * i, byteswap) : 0.0;
      const double logAv = i < nstats ? ReadDouble(stats + 16 * i + 8, byteswap) : 0.0;
      const bool good = !IsBadRecord(maxLum, logAv);
      of_eye.push_back({good, good ? log(logAv) : NAN, good ? log(maxLum) : NAN});
    }
    const Reference reference(of_eye);
    for (int pass = 0; pass < 2; pass++) {
      const int radius = radii[(order >> (1 + 3 * pass)) & 7];
      for (int64_t n = 0, k = frames > 0 ? (order >> 2) % frames : 0; n < frames; n++, k = (k + step) % frames) {
        double avLum = -3.0, peak = -5.0, want_avLum = -3.0, want_peak = -5.0;
        LookAheadNormaliser(&cache, eye, k, radius, &avLum, &peak);
        reference.Values(k, radius, &want_avLum, &want_peak);
        if (memcmp(&avLum, &want_avLum, 8) != 0 || memcmp(&peak, &want_peak, 8) != 0) abort();
        // exp of a mean of finite logarithms: finite, and 0 or more.
        if (avLum != -3.0 && !(std::isfinite(avLum) && avLum >= 0.0 && std::isfinite(peak) && peak >= 0.0)) abort();
      }
    }
  }
  // Outside the frames the cache covers, nothing changes.
  double avLum = -3.0, peak = -5.0;
  LookAheadNormaliser(&cache, 0, frames, 3, &avLum, &peak);
  LookAheadNormaliser(&cache, 0, -1, 3, &avLum, &peak);
  if (avLum != -3.0 || peak != -5.0) abort();
  CloseStatisticsCache(&cache);
  CloseMovieFile(&movie);
  return 0;
}
