// The frame cache: frames ready to draw, kept so that a frame shown again
// (a loop, a step back, a seek, a drag along the timeline) costs no reading
// and no conversion, and filled ahead of the play position by the workers.
//
// A frame is taken from the cache only when it is exactly what making it
// now would give: the same frame at the same place in the file, made with
// equal settings, and, when its pictures depend on the adaptation state,
// from an adaptation state equal to the bit.
//
// Eviction, when a frame needs room: first the frames that playing will not
// show soon (those behind the play position, and frames made for settings
// or an adaptation that no longer hold), the one made or shown longest ago
// first;
// then the frames ahead, the farthest first. A frame nearer than the one
// that needs the room is never evicted, so a loop longer than the cache
// keeps the frames about to be shown and gives up the ones just shown.
#ifndef HALVORN_FRAME_CACHE_H
#define HALVORN_FRAME_CACHE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "frame.h"

// What a frame is made from: its number, its place in the file, the
// settings, and the adaptation state before it.
struct FrameKey {
  int number = 0;
  uint64_t position = 0;
  RenderSettings settings;
  double adapted[2] = {0.0, 0.0};
};

struct FrameCache {
  size_t budget = 0;       // bytes the cached frames may take
  size_t frame_bytes = 0;  // one frame's buffers
  // Frames kept for showing again: budget / frame_bytes, never more than
  // the movie has. 0 keeps none: the one frame made ahead is all there is.
  size_t capacity = 0;
  // Frames allocated: those made, the spare ones and those being made
  // ahead. At most capacity + 1, the one more being the frame made ahead
  // that playing without a cache has always had.
  size_t allocated = 0;
  std::vector<std::unique_ptr<Frame>> made;   // frames with their keys, ready to show
  std::vector<std::unique_ptr<Frame>> spare;  // allocated, holding nothing to show
  long shows = 0;                             // frames shown so far: the cache's clock
  long hits = 0;                              // frames shown again from the cache
  long dropped = 0;                           // frames evicted before they were shown
};

// Reads -cache SIZE: a whole number of bytes, or of KiB, MiB or GiB with a
// K, M or G after it (either case). Returns 1 with *bytes set, or 0 for
// anything else.
int ParseCacheSize(const char *text, size_t *bytes);
// A quarter of the physical memory.
size_t DefaultCacheBudget();
// Sets the budget for frames of `frame_bytes` of a movie of `nframes`.
void SetCacheBudget(FrameCache *cache, size_t budget, size_t frame_bytes, int nframes);

// Whether `frame` is what making the frame `key` names gives.
bool FrameFits(const Frame &frame, const FrameKey &key);
// The made frame that fits `key`, or -1.
int FindCachedFrame(const FrameCache &cache, const FrameKey &key);
// Takes made frame `index` out of the cache.
std::unique_ptr<Frame> TakeCachedFrame(FrameCache *cache, int index);
// Keeps a frame that was shown (or made and not wanted) for showing again;
// without a cache, or when it holds nothing whole, it becomes spare.
void KeepFrame(FrameCache *cache, std::unique_ptr<Frame> frame);
// Gives back a frame whose making failed or was called off.
void ReturnSpareFrame(FrameCache *cache, std::unique_ptr<Frame> frame);

// Room for making the frame at index `need` of `plan` (the frames playing
// shows next, in order; -1: the frame wanted now, before all of them): a
// spare frame, else a new one from `allocate` while the cache is below its
// count, else a made frame evicted by the rule above. Null when there is
// none to give.
std::unique_ptr<Frame> FreeFrameFor(FrameCache *cache, const std::vector<FrameKey> &plan, int need,
                                    const std::function<std::unique_ptr<Frame>()> &allocate);
// The index in `plan` of the first key `frame` fits, or -1.
int PlanIndex(const Frame &frame, const std::vector<FrameKey> &plan);

#endif
