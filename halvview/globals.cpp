// The player's globals with their start values, and what start-up derives
// from the movie header.
#include <cmath>

#include "halvview.h"
#include "simd.h"

int tmo = 0, showinfo = 0, showhelp = 0, debug = 0, autoplay = 0, fullscreen = 0;
int showmouse = 0, byteswap = 0;
double targetfps = 120.0;
float exposure = 0.0f;
float biasParam = 0.85f;
int playdir = 1, looptype = 1, newanimation = 1;

int screenwidth, screenheight;
double lowleft = -1.0, lowright = -1.0;

MovieHeader header;
FILE *fptr;
size_t npixels;
off_t offset;
int nrecords = 1;
int showneyes = 1;
int currentframe = 0;

unsigned char *rgbe_buf;
float *out_img;
float *out_img_right;
float *fframe;
double *Lum;
float RGBE_E[256];

double logAv;
double logAv0 = 0.0;
double logAv0_right = 0.0;

namespace {
int ProcessorHasAVX2() {
#if defined(HALVORN_AVX)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? 1 : 0;
#else
  return 0;
#endif
}
}  // namespace

int use_avx = ProcessorHasAVX2();

double readtime = 0.0, drawtime = 0.0, globalframerate = 0.0, localframerate = 0.0;
int framecounter = 0;

const char *helpstring =
    "Command line options\n"
    "                        -h      this text\n"
    "                        -i      show frame information\n"
    "                        -t      tone mapping\n"
    "                        -f      full screen mode\n"
    "                        -b      byte swap for other endian machines\n"
    "                        -m      hide mouse\n"
    "                        -a      start in play mode\n"
    "                    -fps n      target frames per second\n"
    "Key Strokes and Menus:\n"
    "                         t      toggle tone mapping\n"
    "                         g      toggle autoplay\n"
    "                         m      toggle mouse display\n"
    "                      h,f1      toggle help screen\n"
    "                      i,f2      toggle info screen\n"
    "                     q,esc      quit\n"
    "               ight arrows      forward one frame\n"
    "                       -,+      Adjust exposure (shift=smooth)\n"
    "                         1      first frame\n";

void SetMovieGeometry() {
  npixels = (size_t)header.width * (size_t)header.height;
  // A frame is at least one record; a stereo pair shows both of its records,
  // any other count shows the first.
  nrecords = header.eyes > 1 ? header.eyes : 1;
  showneyes = header.eyes == 2 ? 2 : 1;
  offset = (off_t)nrecords * (off_t)(16 + 4 * npixels);
}

void BuildExponentTable() {
  for (int e = 0; e < 256; e++) RGBE_E[e] = (float)ldexp(1.0, e - 136);
}
