// The player's frame buffers for test harnesses: allocated for the size in
// `header` as start-up allocates them (the right eye's image always, so a
// harness may switch eyes), and freed again with the movie closed.
#ifndef HALVORN_TESTS_COMMON_PLAYER_BUFFERS_H
#define HALVORN_TESTS_COMMON_PLAYER_BUFFERS_H

#include <cstdlib>

#include "halvview.h"
#include "utility.h"

// Returns false when an allocation failed.
inline bool AllocatePlayerBuffers() {
  const int W = header.width, H = header.height;
  rgbe_buf = (unsigned char *)malloc(12 * (size_t)W * (size_t)H);
  out_img = CreateFloatmap(W, H);
  out_img_right = CreateFloatmap(W, H);
  fframe = CreateFloatmap(W, H);
  Lum = (double *)malloc(8 * ((size_t)W + 2) * ((size_t)H + 2));
  return rgbe_buf && out_img && out_img_right && fframe && Lum;
}

inline void FreePlayerBuffers() {
  if (fptr) fclose(fptr);
  fptr = nullptr;
  free(rgbe_buf);
  DestroyFloatmap(out_img);
  DestroyFloatmap(out_img_right);
  DestroyFloatmap(fframe);
  free(Lum);
  rgbe_buf = nullptr;
  out_img = out_img_right = fframe = nullptr;
  Lum = nullptr;
}

#endif
