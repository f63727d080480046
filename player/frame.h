// A frame of the movie as the player holds it: one value with its buffers
// (the raw pixels, the pictures of each eye shown, as floats and, when the
// window takes them, display bytes), what it was made from (its number and
// place in the file, the settings, the adaptation state before it) and what
// it leaves (the adaptation state after it). The room a conversion works in
// (the decoded picture and its luminance) is a value of its own, so that a
// frame kept for showing again holds only what drawing and the overlays
// read.
#ifndef HALVORN_FRAME_H
#define HALVORN_FRAME_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "movie_file.h"
#include "render.h"

struct StatisticsCache;

struct Frame {
  Frame() = default;
  ~Frame();
  Frame(const Frame &) = delete;
  Frame &operator=(const Frame &) = delete;

  // Buffers, allocated once (AllocateFrame). Eye e's raw pixels lie at
  // rgbe + 4 x npixels x e; records read but not shown go to the slot after
  // the shown ones.
  unsigned char *rgbe = nullptr;
  float *out[2] = {nullptr, nullptr};
  unsigned char *bytes[2] = {nullptr, nullptr};
  // Set when every buffer lies in this one allocation (AllocateFrameBlock).
  unsigned char *block = nullptr;

  // What it was made from.
  int number = -1;
  uint64_t position = 0;  // where its records start in the file
  RenderSettings settings;
  double adapted_before[2] = {0.0, 0.0};
  // Whether its pictures depend on adapted_before: tone mapped with the
  // causal adaptation, or in look-ahead mode where a window holds no good
  // record and the causal values stand.
  int uses_adaptation = 0;
  // What it gives: the adaptation state after it, the log-average of each
  // record shown and of the last, and the seconds its reading and
  // conversion took (0 once counted in the read time).
  double adapted_after[2] = {0.0, 0.0};
  double record_logAv[2] = {0.0, 0.0};
  double last_logAv = 0.0;
  double seconds = 0.0;
  // The cache's count of shows when it was last made or shown, and whether
  // it has been shown since it was made.
  long touched = 0;
  int shown = 0;
};

// The room a frame's conversion works in: the decoded picture and its
// luminance map. Whoever makes frames has one of its own.
struct FrameScratch {
  FrameScratch() = default;
  ~FrameScratch();
  FrameScratch(const FrameScratch &) = delete;
  FrameScratch &operator=(const FrameScratch &) = delete;
  float *fframe = nullptr;
  double *lum = nullptr;
};

// Which of a frame's buffers could not be allocated, in the order start-up
// allocates them (the frame shown, then the main thread's scratch).
enum BufferFault {
  BUFFERS_ALLOCATED,
  NO_RGBE_BUFFER,    // "Malloc of the rgbe image failed"
  NO_OUTPUT_IMAGE,   // "Malloc of the output image failed"
  NO_FLOAT_IMAGE,    // "Float Image malloc failed"
  NO_LUMINANCE_MAP,  // "Lum malloc failed"
  NO_DISPLAY_BYTES,  // "Malloc of the output image failed", once the window is open
};

// The buffers of a frame of `movie`: the pictures of `eyes` eyes, and their
// display bytes when `bytes` is set. `rgbe_slots` raw records of room (the
// shown frame keeps the room of a float picture, 3 slots, as it always
// has). Stops at the first that fails; the frame frees what it holds.
BufferFault AllocateFrame(Frame *frame, const MovieFile &movie, int eyes, size_t rgbe_slots);
BufferFault AllocateDisplayBytes(Frame *frame, const MovieFile &movie, int eyes);
BufferFault AllocateScratch(FrameScratch *scratch, const MovieFile &movie);
// A frame of RgbeSlots of room, its pictures and, when `bytes` is set, its
// display bytes, all in one allocation. Larger than any picture-sized
// buffer the GL library allocates and frees at every draw, such a block
// never takes the room one of those leaves free; frames allocated one by
// one while playing would, and the GL library would then take fresh pages
// for its next buffer, up to two pictures more of resident memory for each
// frame. Returns 0 when there is no memory for it.
int AllocateFrameBlock(Frame *frame, const MovieFile &movie, int eyes, int bytes);
// Bytes a frame of AllocateFrame (RgbeSlots of room) and its display bytes
// take.
size_t FrameBytes(const MovieFile &movie, int eyes, int bytes);
// Raw records of room a frame needs: one for each eye shown, and one more
// when a frame holds records that are read but not shown.
size_t RgbeSlots(const MovieFile &movie);

// Everything the making of a frame reads, fixed when it starts, so that the
// thread that makes it reads nothing else.
struct FrameJob {
  const MovieFile *movie = nullptr;
  int number = 0;
  uint64_t position = 0;
  RenderSettings settings;
  double adapted[2] = {0.0, 0.0};
  WorkerPool *pool = nullptr;
  StatisticsCache *statistics = nullptr;
  // Set when the frame is no longer wanted: the making stops between records.
  const std::atomic<bool> *cancelled = nullptr;
};

// Why a frame could not be made: the message of the read that failed.
enum FrameFault {
  FRAME_MADE,
  FRAME_NO_MAXLUM,   // "Error reading Maximum Lum in scene data"
  FRAME_NO_LOGAV,    // "Error reading the Log Average in scene data"
  FRAME_NO_PIXELS,   // "Error reading image data"
  FRAME_CANCELLED,
};
const char *FrameFaultMessage(FrameFault fault);

// Reads every record of the job's frame at its position and converts the
// shown ones into `frame`'s buffers, working in `scratch`, the adaptation
// moving on from the job's state; notes in `frame` what it was made from
// and gives. On a fault the buffers hold what was made before it.
FrameFault MakeFrame(const FrameJob &job, FrameScratch *scratch, Frame *frame);
// The adaptation state after showing `frame` from the state `adapted`, as
// making it from that state moves it: each shown record's log-average
// taken in when tone mapping.
void MoveAdaptation(const Frame &frame, int eyes, double adapted[2]);

#endif
