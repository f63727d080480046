// One picture from its name to its record in the movie: this function opens
// the picture once and owns every buffer it needs.
#include <cstdlib>

#include "builder.h"
#include "utility.h"

namespace {
// The builder's encoding table: one thread encodes here.
ColourTablePtr colours;
}  // namespace

int ProcessImage(const char *name) {
  if (header.width <= 0 || header.height <= 0) {
    fprintf(stderr, " (the movie size %d by %d holds no picture)", header.width, header.height);
    return 0;
  }
  std::unique_ptr<FILE, int (*)(FILE *)> file(OpenRegularFile(name, "rb"), fclose);
  if (!file) return 0;
  RGBEImage rgbe(CreateRGBEmap(header.width, header.height));
  if (!rgbe) {
    fprintf(stderr, "RGBE Image malloc failed\n");
    return 0;
  }
  FloatImage scene;
  switch (ReadPicture(file.get(), &scene)) {
    case PICTURE_READ:
      break;
    case PICTURE_FAILED:
      return 0;
    case PICTURE_WRONG_SIZE:
    case PICTURE_NO_MEMORY:
      exit(1);
  }
  if (!colours) colours = CreateColourTable();
  double maxLum, logAv;
  EncodeScene(colours.get(), scene.get(), header.width, header.height, rgbe.get(), &maxLum, &logAv);
  scene.reset();
  fprintf(stderr, " maxLum %f, logAv %f \n", maxLum, logAv);
  WriteRecord(maxLum, logAv, rgbe.get(), (size_t)header.width * (size_t)header.height);
  return 1;
}
