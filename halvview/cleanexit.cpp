// The player's ways out once the display gamma has been changed (each puts
// the gamma back first), and the frame step that takes one when a frame
// cannot be read.
#include <cstdlib>

#include "view.h"

void CleanExit(Session *session) {
  session->ending = 1;
  // The frames being made ahead read the movie into the session's frames.
  StopReadAhead(session);
  CloseMovieFile(&session->movie);
  if (system("xgamma -gamma 1") == -1) {
    // The gamma command is outside the player; its failure changes nothing.
  }
  exit(0);
}

void FailExit(int status) {
  if (system("xgamma -gamma 1") == -1) {
    // As above: the result is not examined.
  }
  exit(status);
}

void ShowFrame(Session *session, int frame) {
  if (!HandleNextFrame(session, frame)) CleanExit(session);
}
