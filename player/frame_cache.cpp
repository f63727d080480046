// The frame cache: its budget, what makes a kept frame fit, and which frame
// gives up its room.
#include "frame_cache.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

int ParseCacheSize(const char *text, size_t *bytes) {
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char *end;
  errno = 0;
  const unsigned long long n = strtoull(text, &end, 10);
  if (errno != 0) return 0;
  int shift = 0;
  switch (*end) {
    case 0:
      break;
    case 'k':
    case 'K':
      shift = 10;
      break;
    case 'm':
    case 'M':
      shift = 20;
      break;
    case 'g':
    case 'G':
      shift = 30;
      break;
    default:
      return 0;
  }
  if (shift != 0 && end[1] != 0) return 0;
  if (n > (unsigned long long)SIZE_MAX >> shift) return 0;
  *bytes = (size_t)(n << shift);
  return 1;
}

size_t DefaultCacheBudget() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  return (size_t)pages / 4 * (size_t)page;
}

void SetCacheBudget(FrameCache *cache, size_t budget, size_t frame_bytes, int nframes) {
  cache->budget = budget;
  cache->frame_bytes = frame_bytes;
  size_t frames = frame_bytes > 0 ? budget / frame_bytes : 0;
  if (nframes >= 0 && frames > (size_t)nframes) frames = (size_t)nframes;
  cache->capacity = frames;
}

namespace {
bool SameBits(const double a[2], const double b[2]) { return memcmp(a, b, 2 * sizeof(double)) == 0; }
}  // namespace

bool FrameFits(const Frame &frame, const FrameKey &key) {
  return frame.number == key.number && frame.position == key.position && SameSettings(frame.settings, key.settings) &&
         (!frame.uses_adaptation || SameBits(frame.adapted_before, key.adapted));
}

int FindCachedFrame(const FrameCache &cache, const FrameKey &key) {
  for (size_t i = 0; i < cache.made.size(); i++)
    if (FrameFits(*cache.made[i], key)) return (int)i;
  return -1;
}

std::unique_ptr<Frame> TakeCachedFrame(FrameCache *cache, int index) {
  std::unique_ptr<Frame> frame = std::move(cache->made[(size_t)index]);
  cache->made.erase(cache->made.begin() + index);
  return frame;
}

void KeepFrame(FrameCache *cache, std::unique_ptr<Frame> frame) {
  if (cache->capacity == 0 || frame->number < 0) {
    ReturnSpareFrame(cache, std::move(frame));
    return;
  }
  cache->made.push_back(std::move(frame));
}

void ReturnSpareFrame(FrameCache *cache, std::unique_ptr<Frame> frame) {
  frame->number = -1;  // holds nothing that fits a key
  cache->spare.push_back(std::move(frame));
}

int PlanIndex(const Frame &frame, const std::vector<FrameKey> &plan) {
  for (size_t i = 0; i < plan.size(); i++)
    if (FrameFits(frame, plan[i])) return (int)i;
  return -1;
}

std::unique_ptr<Frame> FreeFrameFor(FrameCache *cache, const std::vector<FrameKey> &plan, int need,
                                    const std::function<std::unique_ptr<Frame>()> &allocate) {
  if (!cache->spare.empty()) {
    std::unique_ptr<Frame> frame = std::move(cache->spare.back());
    cache->spare.pop_back();
    return frame;
  }
  if (cache->allocated < cache->capacity + 1) {
    std::unique_ptr<Frame> frame = allocate();
    if (frame) {
      cache->allocated++;
      return frame;
    }
  }
  // A frame off the plan, the one made or shown longest ago first; else the frame ahead
  // that comes last, as long as it comes after the one that needs the room.
  int victim = -1, victim_index = need;
  long victim_touched = LONG_MAX;
  for (size_t i = 0; i < cache->made.size(); i++) {
    const Frame &frame = *cache->made[i];
    const int index = PlanIndex(frame, plan);
    if (index < 0) {
      if (victim_index != INT_MAX || frame.touched < victim_touched) {
        victim = (int)i;
        victim_index = INT_MAX;
        victim_touched = frame.touched;
      }
    } else if (victim_index != INT_MAX && index > victim_index) {
      victim = (int)i;
      victim_index = index;
    }
  }
  if (victim < 0) return nullptr;
  std::unique_ptr<Frame> frame = TakeCachedFrame(cache, victim);
  if (!frame->shown) cache->dropped++;
  frame->number = -1;
  return frame;
}
