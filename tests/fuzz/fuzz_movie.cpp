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
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "session.h"

namespace {

struct MovieEnded {};

constexpr int MAX_SIDE = 64;

void Check(const Session &s, bool complete) {
  for (double adapted : s.adapted)
    if (!std::isfinite(adapted) || adapted < 0.0) abort();
  if (complete && s.looptype == 1) {
    if (s.currentframe < 0 || s.currentframe >= s.movie.header.nframes) abort();
    if (s.position != FramePosition(s.movie, s.currentframe + 1)) abort();
  }
}

void Step(Session *s, int64_t frame, bool complete) {
  if (frame < INT32_MIN || frame > INT32_MAX) return;
  if (!HandleNextFrame(s, (int)frame)) throw MovieEnded();
  Check(*s, complete);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t CONTROL = 8;
  if (size < CONTROL + sizeof(MovieHeader)) return 0;
  const uint8_t settings = data[0];
  const uint8_t *steps = data + 1;
  const uint8_t *movie = data + CONTROL;
  const size_t moviesize = size - CONTROL;

  // Header checks as start-up makes them.
  const int byteswap = (settings >> 1) & 1;
  MovieHeader header;
  memcpy(&header, movie, sizeof(header));
  if (byteswap) SwapMovieHeader(&header);
  if (CheckMovieHeader(header) != nullptr) return 0;
  if (header.width > MAX_SIDE || header.height > MAX_SIDE) return 0;

  // The movie in a file in memory, read by position as the player reads it.
  const int fd = memfd_create("movie", MFD_CLOEXEC);
  if (fd < 0) abort();
  for (size_t done = 0; done < moviesize;) {
    const ssize_t n = write(fd, movie + done, moviesize - done);
    if (n <= 0) abort();
    done += (size_t)n;
  }
  std::unique_ptr<Session> s(new Session);
  AdoptSessionMovie(s.get(), fd, header, byteswap);
  s->settings.tmo = settings & 1;
  s->autoplay = (settings >> 2) & 1;
  static const float exposures[4] = {0.0f, -1.0f, 1.5f, 10.0f};
  s->settings.exposure = exposures[(settings >> 3) & 3];
  s->settings.biasParam = (settings & 0x20) ? 0.71f : 0.85f;
  s->looptype = (settings & 0x40) ? 0 : 1;
  if (AllocateShownFrame(s.get(), 2) != BUFFERS_ALLOCATED) abort();
  const bool complete = (uint64_t)moviesize == MovieFrameOffset(header, header.nframes);

  try {
    Step(s.get(), s->currentframe, complete);  // frame 0, as start-up loads it
    for (size_t i = 0; i < CONTROL - 1; i++) {
      const uint8_t c = steps[i];
      const int64_t cur = s->currentframe;
      switch (c % 6) {
        case 0:
          Step(s.get(), cur + 1, complete);
          break;
        case 1:
          Step(s.get(), cur - 1, complete);
          break;
        case 2:
          Step(s.get(), 0, complete);
          break;
        case 3:  // to the end: back from the first frame
          if (cur != 0) Step(s.get(), 0, complete);
          Step(s.get(), -1, complete);
          break;
        case 4:
          Step(s.get(), cur + (c / 6) % 8 - 4, complete);
          break;
        case 5:
          s->settings.tmo = !s->settings.tmo;
          break;
      }
    }
  } catch (const MovieEnded &) {
    // A read failed: the player would have ended here.
  }
  return 0;
}
