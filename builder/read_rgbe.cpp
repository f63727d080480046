// Reading one Radiance RGBE picture for the builder: header, size check
// before any allocation, then the run-length-encoded pixels.
#include <cstdlib>

#include "builder.h"
#include "rgbe.h"
#include "utility.h"

void FreeDeleter::operator()(void *p) const { free(p); }

PictureStatus ReadPicture(FILE *file, FloatImage *scene) {
  int width, height;
  RGBE_PictureInfo info;  // read, not used
  if (RGBE_ReadHeader(file, &width, &height, &info) != 0) return PICTURE_FAILED;
  if (width != header.width || height != header.height) {
    fprintf(stderr, "The images have a different sixe than requested \n");
    return PICTURE_WRONG_SIZE;
  }
  scene->reset(CreateFloatmap(width, height));
  if (!*scene) {
    fprintf(stderr, "Could not allocate memory for scene \n");
    return PICTURE_NO_MEMORY;
  }
  if (RGBE_ReadPixels_RLE(file, scene->get(), width, height) != 0) return PICTURE_FAILED;
  return PICTURE_READ;
}
