// The player's ways out once the display gamma has been changed (each puts
// the gamma back first), and the frame step that takes one when a frame
// cannot be read.
#include <cstdlib>

#include "view.h"
#include "utility.h"

int ending = 0;

void CleanExit() {
  ending = 1;
  // A frame being prepared ahead reads the movie into buffers freed below.
  StopPreparing();
  if (fptr) fclose(fptr);
  fptr = nullptr;
  if (system("xgamma -gamma 1") == -1) {
    // The gamma command is outside the player; its failure changes nothing.
  }
  DestroyFloatmap(fframe);
  fframe = nullptr;
  free(Lum);
  Lum = nullptr;
  exit(0);
}

void FailExit(int status) {
  if (system("xgamma -gamma 1") == -1) {
    // As above: the result is not examined.
  }
  exit(status);
}

void ShowFrame(int frame) {
  if (!HandleNextFrame(fptr, frame)) CleanExit();
}
