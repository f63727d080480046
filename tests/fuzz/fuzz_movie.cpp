// Fuzz target: the player's movie reading without a display.
//
// Input: 8 control bytes, then the movie file. Control byte 0 chooses the
// settings (tone mapping, byte swap, autoplay, exposure, bias, loop type);
// bytes 1 to 7 are steps: forward, back, first frame, to the end, a jump of
// -4 to +3 frames, or a toggle of the tone mapping.
//
// The header is validated as start-up does (sizes 16 to 31999, here capped
// at 64 so that a run stays fast; at least one frame; format 48), the
// buffers are allocated with start-up's sizes, and frame 0 is loaded as
// start-up loads it. A failed read, which ends the player, ends the run here.
//
// Checks besides the sanitizers: the adapted log-averages stay finite and
// not negative whatever statistics the records hold, and in a movie whose
// length matches its header the file position after every step is the end
// of the frame being shown.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "player.h"
#include "utility.h"

namespace {

struct MovieEnded {};

constexpr int MAX_SIDE = 64;

bool complete;  // the movie's length is what its header announces

void Check() {
  if (!std::isfinite(logAv0) || logAv0 < 0.0) abort();
  if (!std::isfinite(logAv0_right) || logAv0_right < 0.0) abort();
  if (complete && looptype == 1) {
    if (currentframe < 0 || currentframe >= header.nframes) abort();
    if (ftello(fptr) != (off_t)MovieFrameOffset(header, currentframe + 1)) abort();
  }
}

void Step(int64_t frame) {
  if (frame < INT32_MIN || frame > INT32_MAX) return;
  if (!HandleNextFrame(fptr, (int)frame)) throw MovieEnded();
  Check();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t CONTROL = 8;
  if (size < CONTROL + sizeof(MovieHeader)) return 0;
  const uint8_t settings = data[0];
  const uint8_t *steps = data + 1;
  const uint8_t *movie = data + CONTROL;
  const size_t moviesize = size - CONTROL;

  // Start values of the player's state.
  tmo = settings & 1;
  byteswap = (settings >> 1) & 1;
  autoplay = (settings >> 2) & 1;
  static const float exposures[4] = {0.0f, -1.0f, 1.5f, 10.0f};
  exposure = exposures[(settings >> 3) & 3];
  biasParam = (settings & 0x20) ? 0.71f : 0.85f;
  looptype = (settings & 0x40) ? 0 : 1;
  playdir = 1;
  currentframe = 0;
  logAv0 = logAv0_right = 0.0;

  // Header checks as start-up makes them.
  memcpy(&header, movie, sizeof(header));
  if (byteswap) SwapMovieHeader(&header);
  if (CheckMovieHeader(header) != nullptr) return 0;
  if (header.width > MAX_SIDE || header.height > MAX_SIDE) return 0;

  SetMovieGeometry();
  if (AllocatePlayerBuffers(1) != BUFFERS_ALLOCATED) abort();
  fptr = fmemopen(const_cast<uint8_t *>(movie), moviesize, "rb");
  if (!fptr) abort();
  if (fseeko(fptr, MOVIE_HEADER_SIZE, SEEK_SET) != 0) abort();
  complete = (uint64_t)moviesize == MovieFrameOffset(header, header.nframes);

  try {
    Step(currentframe);  // frame 0, as start-up loads it
    for (size_t i = 0; i < CONTROL - 1; i++) {
      const uint8_t s = steps[i];
      switch (s % 6) {
        case 0:
          Step((int64_t)currentframe + 1);
          break;
        case 1:
          Step((int64_t)currentframe - 1);
          break;
        case 2:
          Step(0);
          break;
        case 3:  // to the end: back from the first frame
          if (currentframe != 0) Step(0);
          Step(-1);
          break;
        case 4:
          Step((int64_t)currentframe + (s / 6) % 8 - 4);
          break;
        case 5:
          tmo = !tmo;
          break;
      }
    }
  } catch (const MovieEnded &) {
    // A read failed: the player would have ended here.
  }
  FreePlayerBuffers();
  return 0;
}
