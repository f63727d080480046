// The playing modes that keys choose: what playing does at the ends of the
// movie (loop, play once, ping-pong; the stepping rules in navigation.cpp
// act on them) and the direction, and their line on the overlay.
#include "inspect.h"

void CycleLoopMode() {
  // looptype 1 loops, 0 plays once, 2 plays ping-pong.
  looptype = looptype == 1 ? 0 : looptype == 0 ? 2 : 1;
}

void ReversePlaying() { playdir = playdir < 0 ? 1 : -1; }

std::string PlayModeText() {
  const char *mode = looptype == 1 ? "Loop" : looptype == 0 ? "Play once" : "Ping-pong";
  return std::string(mode) + (playdir < 0 ? ", backward" : ", forward");
}
