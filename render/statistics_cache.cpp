// The statistics cache: the two doubles in front of each picture record,
// read one record at a time where the look-ahead needs them and kept.
#include <cmath>

#include "lookahead.h"

namespace {

// A record whose statistics could not be read.
constexpr CachedRecord unreadable = {NAN, NAN, NAN, NAN, -2, 2};

void ReadRecord(StatisticsCache *cache, int64_t frame, int eye, CachedRecord *record) {
  double maxLum = NAN, logAv = NAN;
  cache->reads++;
  if (ReadRecordStatistics(*cache->movie, frame, eye, &maxLum, &logAv) < 2) {
    *record = unreadable;
    return;
  }
  record->maxLum = maxLum;
  record->logAv = logAv;
  record->previous = -2;
  if (IsBadRecord(maxLum, logAv)) {
    record->s = record->m = NAN;
    record->state = 2;
  } else {
    record->s = log(logAv);
    record->m = log(maxLum);
    record->state = 1;
  }
}

}  // namespace

int IsBadRecord(double maxLum, double logAv) {
  return !(std::isfinite(maxLum) && maxLum > 0.0 && std::isfinite(logAv) && logAv > 0.0);
}

void OpenStatisticsCache(StatisticsCache *cache, const MovieFile *movie) {
  CloseStatisticsCache(cache);
  cache->movie = movie;
  cache->eyes = movie->shown_eyes;
  // The frames lying wholly in the file, up to the header's count.
  cache->frames = CompleteFrames(*movie);
  cache->reads = 0;
}

void CloseStatisticsCache(StatisticsCache *cache) {
  cache->movie = nullptr;
  cache->frames = 0;
  cache->pages.clear();
}

const CachedRecord &GetCachedRecord(StatisticsCache *cache, int64_t frame, int eye) {
  if (frame < 0 || frame >= cache->frames || eye < 0 || eye >= cache->eyes || cache->movie == nullptr)
    return unreadable;
  std::unique_ptr<StatisticsPage> &page = cache->pages[frame / STATISTICS_PAGE_FRAMES];
  if (!page) page.reset(new StatisticsPage{});  // every record "not read yet"
  CachedRecord &record = page->records[2 * (frame % STATISTICS_PAGE_FRAMES) + eye];
  if (record.state == 0) ReadRecord(cache, frame, eye, &record);
  return record;
}

void RememberPreviousGood(StatisticsCache *cache, int64_t frame, int eye, int64_t previous) {
  if (frame < 0 || frame >= cache->frames || eye < 0 || eye >= cache->eyes) return;
  const auto page = cache->pages.find(frame / STATISTICS_PAGE_FRAMES);
  if (page != cache->pages.end()) page->second->records[2 * (frame % STATISTICS_PAGE_FRAMES) + eye].previous = previous;
}
