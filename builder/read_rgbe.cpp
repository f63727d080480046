// Reading one Radiance RGBE picture for the builder: header, size check
// before any allocation, then the stored pixels, which go into the record
// as they are.
#include "builder.h"
#include "rgbe.h"

PictureStatus ReadRGBEPicture(FILE *file, PictureSize size, Workspace *work, RecordEncoder *record, FILE *messages) {
  int width, height;
  RGBE_PictureInfo info;  // read, not used
  if (RGBE_ReadHeader(file, &width, &height, &info) != 0) return PICTURE_FAILED;
  if (width != size.width || height != size.height) {
    fprintf(messages, "The images have a different sixe than requested \n");
    return PICTURE_WRONG_SIZE;
  }
  unsigned char *pixels = Reserve(&work->scene, 4 * (size_t)width * (size_t)height);
  if (pixels == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return PICTURE_NO_MEMORY;
  }
  if (RGBE_ReadRawPixels_RLE(file, pixels, width, height) != 0) return PICTURE_FAILED;
  EncodeRows(record, pixels, height);
  return PICTURE_READ;
}
