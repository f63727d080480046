// OpenEXR pictures in a build without the OpenEXR library: refused with a
// message that says so.
#include "builder.h"

bool HoldsStereoPair(FILE *, const char *) { return false; }

PictureStatus ReadOpenEXRPicture(FILE *, const char *, PictureView, PictureSize, Workspace *, RecordEncoder *,
                                 OutOfRange *, FILE *messages) {
  fprintf(messages, "OpenEXR picture: this halvpack was built without OpenEXR and cannot read it\n");
  return PICTURE_FAILED;
}
