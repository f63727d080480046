// The playing modes that keys choose: what playing does at the ends of the
// movie (loop, play once, ping-pong; the stepping rules in navigation.cpp
// act on them) and the direction, and their line on the overlay.
#include "session.h"

void CycleLoopMode(Session *session) {
  // looptype 1 loops, 0 plays once, 2 plays ping-pong.
  const int t = session->looptype;
  session->looptype = t == 1 ? 0 : t == 0 ? 2 : 1;
}

void ReversePlaying(Session *session) { session->playdir = session->playdir < 0 ? 1 : -1; }

std::string PlayModeText(const Session &session) {
  const char *mode = session.looptype == 1 ? "Loop" : session.looptype == 0 ? "Play once" : "Ping-pong";
  return std::string(mode) + (session.playdir < 0 ? ", backward" : ", forward");
}
