// Look-ahead adaptation: a frame's normaliser and peak taken from the
// statistics of the frames around it, inside its segment between cuts,
// with the statistics read from the movie as they are needed and cached.
//
// For each eye: s_k = ln(logAv_k) and m_k = ln(maxLum_k). A record is bad
// when either statistic is NaN, infinite, zero or negative, and takes no
// part in anything below. A cut lies between a good frame k and the good
// frame j before it when |s_k - s_j| > ln 2. Cuts split the movie into
// segments; a bad frame belongs to the segment of the good frame before it
// (at the start: after it). Frame k of segment [a, b] uses the window
// k - r ... k + r with r = min(R, k - a, b - k): the adapted log-average is
// exp(S / n), S the sum of the good s_j of the window added in increasing
// j, n their count; the adapted peak is formed the same way from the m_j.
#ifndef HALVORN_LOOKAHEAD_H
#define HALVORN_LOOKAHEAD_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "movie_file.h"
#include "render.h"

// Reads the text of -R n: digits only, 0 to INT_MAX. Returns 1 with the
// radius set, or 0 (the radius unchanged) for anything else.
int ParseLookAheadRadius(const char *text, int *radius);

// One picture record's statistics as the cache holds them.
struct CachedRecord {
  double maxLum, logAv;  // as stored (byte-swapped where the movie needs it)
  double s, m;           // ln(logAv), ln(maxLum) of a good record
  int64_t previous;      // the good frame before this one: -1 none, -2 not known yet
  uint8_t state;         // 0 not read yet, 1 good, 2 bad
};

// Records of this many consecutive frames are kept together.
constexpr int64_t STATISTICS_PAGE_FRAMES = 1024;
struct StatisticsPage {
  CachedRecord records[2 * STATISTICS_PAGE_FRAMES];  // frame-major, eye-minor
};

// The statistics of one movie, read 16 bytes at a time and kept once read.
// Opening reads nothing but the file's size, so a long movie opens as fast
// as a short one. The functions below fill it as they look: callers on more
// than one thread hold `lock` (LookAheadNormaliser does).
struct StatisticsCache {
  const MovieFile *movie = nullptr;
  std::mutex lock;
  int eyes = 1;        // eyes whose records are cached: 2 for a stereo pair, else 1
  int64_t frames = 0;  // frames the windows cover: those the file holds wholly
  uint64_t reads = 0;  // records read from the file so far
  std::unordered_map<int64_t, std::unique_ptr<StatisticsPage>> pages;
};

// Reads the statistics of `movie`, which stays open while the cache is
// used.
void OpenStatisticsCache(StatisticsCache *cache, const MovieFile *movie);
// Drops what was cached.
void CloseStatisticsCache(StatisticsCache *cache);

// 1 when a record with these statistics takes no part in the adaptation.
int IsBadRecord(double maxLum, double logAv);

// The record of `eye` in `frame` (0 <= frame < cache->frames), read on
// first use. A record that cannot be read counts as bad.
const CachedRecord &GetCachedRecord(StatisticsCache *cache, int64_t frame, int eye);

// Notes the good frame before a bad record, once it has been looked for.
void RememberPreviousGood(StatisticsCache *cache, int64_t frame, int eye, int64_t previous);

// 1 when a segment starts at `frame`: frame 0, and every good frame with a
// cut between it and the good frame before it.
int IsSegmentStart(StatisticsCache *cache, int64_t frame, int eye);

// The adapted log-average and peak of `frame` for a window of half-length
// `radius` (0 or more). Returns 1, or 0 with both NaN when the window holds
// no good record or the frame lies outside the cached frames.
int LookAheadValues(StatisticsCache *cache, int64_t frame, int eye, int radius, double *logAvg, double *peak);

// The normaliser and the peak of record `eye` of `frame` in look-ahead
// mode, for a window of half-length `radius`: where the window holds good
// records both are replaced by the adapted values; where it holds none (or
// there is no cache) they are left as they are, which is what the causal
// mode shows for a corrupt record. Safe to call from more than one thread.
void LookAheadNormaliser(StatisticsCache *cache, int eye, int64_t frame, int radius, double *avLum, double *peak);
// 1 when LookAheadNormaliser replaces both values for record `eye` of
// `frame`: the frame's look-ahead picture then does not depend on the
// causal adaptation. Safe to call from more than one thread.
int LookAheadCovers(StatisticsCache *cache, int eye, int64_t frame, int radius);

#endif
