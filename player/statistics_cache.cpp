// The statistics cache: the two doubles in front of each picture record,
// read one record at a time where the look-ahead needs them and kept.
#include <sys/stat.h>

#include <cmath>

#include "lookahead.h"
#include "utility.h"

namespace {

// A record whose statistics could not be read.
constexpr CachedRecord unreadable = {NAN, NAN, NAN, NAN, -2, 2};

void ReadRecord(StatisticsCache *cache, int64_t frame, int eye, CachedRecord *record) {
  const uint64_t at = MovieFrameOffset(cache->header, frame) +
                      (uint64_t)eye * PictureRecordSize(cache->header.width, cache->header.height);
  double maxLum = NAN, logAv = NAN;
  cache->reads++;
  if (fseeko(cache->file, (off_t)at, SEEK_SET) != 0 ||
      ReadRecordStatistics(cache->file, &maxLum, &logAv, cache->byteswap) < 2) {
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

int OpenStatisticsCache(StatisticsCache *cache, const char *path, const MovieHeader &header, int byteswap) {
  CloseStatisticsCache(cache);
  FILE *file = OpenRegularFile(path, "rb");
  if (file == nullptr) return -1;
  // Each read takes 16 bytes from far apart in the file: a buffer of that
  // size makes it one system call, without reading ahead what is not used.
  static_assert(RECORD_STATISTICS_SIZE == 16, "a record's statistics are 16 bytes");
  setvbuf(file, nullptr, _IOFBF, RECORD_STATISTICS_SIZE);
  struct stat st;
  const uint64_t size = fstat(fileno(file), &st) == 0 ? (uint64_t)st.st_size : 0;
  cache->file = file;
  cache->header = header;
  cache->byteswap = byteswap;
  cache->eyes = header.eyes == 2 ? 2 : 1;
  // The frames lying wholly in the file, up to the header's count.
  const uint64_t framesize = MovieFrameSize(header);
  const uint64_t whole = size > MOVIE_HEADER_SIZE && framesize > 0 ? (size - MOVIE_HEADER_SIZE) / framesize : 0;
  cache->frames = header.nframes < 1 ? 0 : (int64_t)(whole < (uint64_t)header.nframes ? whole : header.nframes);
  cache->reads = 0;
  return 0;
}

void CloseStatisticsCache(StatisticsCache *cache) {
  if (cache->file) fclose(cache->file);
  cache->file = nullptr;
  cache->frames = 0;
  cache->pages.clear();
}

const CachedRecord &GetCachedRecord(StatisticsCache *cache, int64_t frame, int eye) {
  if (frame < 0 || frame >= cache->frames || eye < 0 || eye >= cache->eyes || cache->file == nullptr)
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
