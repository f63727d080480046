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
// start-up loads it. A failed read ends the player through CleanExit; the
// harness's CleanExit closes the movie like the real one and throws back
// here instead of ending the process.
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

#include "halvview.h"
#include "utility.h"
#include "../common/player_buffers.h"

namespace {

struct MovieEnded {};

constexpr int MAX_SIDE = 64;

void Swap16(int16_t *value) {
  const uint16_t v = (uint16_t)*value;
  *value = (int16_t)(uint16_t)((v >> 8) | (v << 8));
}

void Swap32(int32_t *value) {
  const uint32_t v = (uint32_t)*value;
  *value = (int32_t)((v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24));
}

bool complete;  // the movie's length is what its header announces

void Check() {
  if (!std::isfinite(logAv0) || logAv0 < 0.0) abort();
  if (!std::isfinite(logAv0_right) || logAv0_right < 0.0) abort();
  if (complete && looptype == 1) {
    if (currentframe < 0 || currentframe >= header.nframes) abort();
    if (ftello(fptr) != 12 + (off_t)(currentframe + 1) * offset) abort();
  }
}

void Step(int64_t frame) {
  if (frame < INT32_MIN || frame > INT32_MAX) return;
  HandleNextFrame(fptr, (int)frame);
  Check();
}

}  // namespace

int ending = 0;

// The read-failure path of the player, brought back to the harness.
void CleanExit() {
  ending = 1;
  if (fptr) fclose(fptr);
  fptr = nullptr;
  throw MovieEnded();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  BuildExponentTable();
  return 0;
}

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
  ending = 0;

  // Header checks as start-up makes them.
  memcpy(&header, movie, sizeof(header));
  if (byteswap) {
    Swap16(&header.width);
    Swap16(&header.height);
    Swap32(&header.nframes);
  }
  if (header.width >= 32000 || header.width < 16) return 0;
  if (header.height >= 32000 || header.height < 16) return 0;
  if (header.width > MAX_SIDE || header.height > MAX_SIDE) return 0;
  if (header.nframes < 1) return 0;
  if (header.format != MOVIE_FORMAT) return 0;

  SetMovieGeometry();
  if (!AllocatePlayerBuffers()) abort();
  fptr = fmemopen(const_cast<uint8_t *>(movie), moviesize, "rb");
  if (!fptr) abort();
  if (fseeko(fptr, 12, SEEK_SET) != 0) abort();
  complete = (uint64_t)moviesize == 12 + (uint64_t)header.nframes * (uint64_t)offset;

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
