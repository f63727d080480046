// The kind of a picture file, from its first bytes rather than its name.
#include <cstring>

#include "builder.h"

PictureKind SniffPicture(const unsigned char *bytes, size_t count) {
  static const unsigned char OPENEXR_MAGIC[4] = {0x76, 0x2f, 0x31, 0x01};
  if (count >= 4 && memcmp(bytes, OPENEXR_MAGIC, 4) == 0) return PICTURE_OPENEXR;
  if (count >= 2 && bytes[0] == 'P' && (bytes[1] == 'F' || bytes[1] == 'f')) return PICTURE_PFM;
  return PICTURE_RGBE;
}
