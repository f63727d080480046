// One picture: read it through the codec, compute its scene statistics,
// encode it again and append its record to the movie, bottom row first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "halvpack.h"
#include "rgbe.h"
#include "utility.h"

namespace {

int picwidth, picheight;      // size line of the picture read last
RGBE_PictureInfo picinfo;     // its header values (read, not used)
double maxLum, logAv;         // statistics of the picture read last
float *scene;                 // the decoded picture, picture row order
unsigned char *rgbe_image;    // the picture encoded again, same order

// Opens a picture for reading. Only regular files qualify: a FIFO would
// block the run and a directory has no picture in it.
FILE *OpenPicture(const char *name) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE *fp = fdopen(fd, "rb");
  if (fp == nullptr) close(fd);
  return fp;
}

}  // namespace

int LoadScene(const char *name) {
  maxLum = 0.0;
  double sum = 0.0;

  FILE *fp = OpenPicture(name);
  if (fp == nullptr) {
    fprintf(stderr, " cest ici Cannot open input file %s\n", name);
    return 0;
  }
  if (RGBE_ReadHeader(fp, &picwidth, &picheight, &picinfo) != 0) {
    fclose(fp);
    return 0;
  }
  if (picwidth != header.width || picheight != header.height) {
    fprintf(stderr, "The images have a different sixe than requested \n");
    exit(1);
  }
  scene = CreateFloatmap(header.width, header.height);
  if (scene == nullptr) {
    fprintf(stderr, "Could not allocate memory for scene \n");
    exit(1);
  }
  if (RGBE_ReadPixels_RLE(fp, scene, picwidth, picheight) != 0) {
    fclose(fp);
    return 0;
  }

  // Statistics and re-encoding in one pass. Neighbouring pixels are often
  // equal; their luminance, logarithm and encoding are then taken from the
  // pixel before, which gives the same bits as computing them again.
  const size_t npixels = (size_t)picwidth * (size_t)picheight;
  const float *p = scene;
  unsigned char *out = rgbe_image;
  float last[3] = {NAN, NAN, NAN};
  double lastL = 0.0, lastlog = 0.0;
  unsigned char lastrgbe[4] = {0, 0, 0, 0};
  for (size_t k = 0; k < npixels; k++, p += 3, out += 4) {
    if (memcmp(p, last, sizeof(last)) != 0) {
      lastL = 0.2126 * (double)p[0] + 0.7152 * (double)p[1] + 0.0722 * (double)p[2];
      lastlog = log(lastL + 0.000023);
      float2rgbe(lastrgbe, p[0], p[1], p[2]);
      memcpy(last, p, sizeof(last));
    }
    if (lastL > maxLum) maxLum = lastL;
    sum += lastlog;
    memcpy(out, lastrgbe, 4);
  }
  logAv = exp(sum / (double)npixels);
  fprintf(stderr, " maxLum %f, logAv %f \n", maxLum, logAv);
  fclose(fp);
  return 1;
}

int ProcessImage(const char *name) {
  if (header.width <= 0 || header.height <= 0) {
    fprintf(stderr, " (the movie size %d by %d holds no picture)", header.width, header.height);
    return 0;
  }
  FILE *held = OpenPicture(name);
  if (held == nullptr) return 0;
  rgbe_image = CreateRGBEmap(header.width, header.height);
  if (rgbe_image == nullptr) {
    fprintf(stderr, "RGBE Image malloc failed\n");
    fclose(held);
    return 0;
  }
  const int loaded = LoadScene(name);
  DestroyFloatmap(scene);
  scene = nullptr;
  if (loaded) {
    WriteMovie(&maxLum, sizeof(maxLum));
    WriteMovie(&logAv, sizeof(logAv));
    const size_t rowbytes = 4 * (size_t)header.width;
    for (int r = 0; r < header.height; r++)
      WriteMovie(rgbe_image + (size_t)(header.height - 1 - r) * rowbytes, rowbytes);
  }
  fclose(held);
  free(rgbe_image);
  rgbe_image = nullptr;
  return loaded;
}
