// The player's globals with their start values, and what start-up derives
// from the movie header: the geometry and the buffers.
#include <cstdlib>

#include "lookahead.h"
#include "player.h"
#include "utility.h"

int tmo = 0, showinfo = 0, showhelp = 0, debug = 0, autoplay = 0, fullscreen = 0;
int showmouse = 0, byteswap = 0;
double targetfps = 120.0;
float exposure = 0.0f;
float biasParam = 0.85f;
int playdir = 1, looptype = 1, newanimation = 1;
int lookahead = 0, lookahead_radius = LOOKAHEAD_DEFAULT_RADIUS;

int screenwidth, screenheight;
double lowleft = -1.0, lowright = -1.0;

MovieHeader header;
FILE *fptr;
size_t npixels;
off_t offset;
int nrecords = 1;
int showneyes = 1;
int currentframe = 0;
long picture_version = 0;

WorkerPool *workers = nullptr;
int upload_bytes = 0;
unsigned char *out_bytes = nullptr;
unsigned char *out_bytes_right = nullptr;

unsigned char *rgbe_buf;
float *out_img;
float *out_img_right;
float *fframe;
double *Lum;

double logAv;
double logAv0 = 0.0;
double logAv0_right = 0.0;

double readtime = 0.0, drawtime = 0.0, globalframerate = 0.0, localframerate = 0.0;
int framecounter = 0;

void SetMovieGeometry() {
  npixels = (size_t)header.width * (size_t)header.height;
  // A frame is at least one record; a stereo pair shows both of its records,
  // any other count shows the first.
  nrecords = RecordsPerFrame(header);
  showneyes = header.eyes == 2 ? 2 : 1;
  offset = (off_t)MovieFrameSize(header);
}

BufferFault AllocatePlayerBuffers(int right_eye) {
  const int W = header.width, H = header.height;
  // The raw pixels of one record take 4 bytes a pixel; the buffer has
  // always been sized as a float picture (12 bytes a pixel), and keeps
  // that size so that the memory a running player holds stays as it was.
  rgbe_buf = (unsigned char *)malloc(12 * (size_t)W * (size_t)H);
  if (rgbe_buf == nullptr) return NO_RGBE_BUFFER;
  // The pictures to draw: three floats a pixel, bottom row first, one for
  // each eye shown.
  out_img = CreateFloatmap(W, H);
  if (right_eye && out_img != nullptr) {
    out_img_right = CreateFloatmap(W, H);
    if (out_img_right == nullptr) {
      DestroyFloatmap(out_img);
      out_img = nullptr;
    }
  }
  if (out_img == nullptr) return NO_OUTPUT_IMAGE;
  // The decoded record: three floats a pixel.
  fframe = CreateFloatmap(W, H);
  if (fframe == nullptr) return NO_FLOAT_IMAGE;
  // One luminance a pixel, plus a margin of one block row and column
  // ((W + 2) x (H + 2)) that the tone mapper may use at the picture's
  // right and top edges.
  Lum = (double *)malloc(8 * ((size_t)W + 2) * ((size_t)H + 2));
  if (Lum == nullptr) return NO_LUMINANCE_MAP;
  return BUFFERS_ALLOCATED;
}

int AllocateDisplayBytes() {
  if (!upload_bytes) return 1;
  // Four bytes a pixel (blue, green, red, alpha), for each eye shown.
  out_bytes = (unsigned char *)malloc(DISPLAY_PIXEL_BYTES * npixels);
  if (showneyes == 2) out_bytes_right = (unsigned char *)malloc(DISPLAY_PIXEL_BYTES * npixels);
  return out_bytes != nullptr && (showneyes < 2 || out_bytes_right != nullptr);
}

void FreePlayerBuffers() {
  FreeSpareBuffers();
  free(out_bytes);
  free(out_bytes_right);
  out_bytes = out_bytes_right = nullptr;
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
