// The player's state and operations. Module state lives in file-level
// globals, as the GLUT callbacks share it on one thread without locking.
//
// The movie reading, decoding and tone mapping (frames.cpp, tonemap.cpp,
// globals.cpp) use neither GLUT nor GL, so tests and benchmarks link them
// without a display; the GLUT glue lives in the other files.
#ifndef HALVORN_HALVVIEW_H
#define HALVORN_HALVVIEW_H

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "movie.h"

// Flags and settings (command line and keys).
extern int tmo, showinfo, showhelp, debug, autoplay, fullscreen, showmouse, byteswap;
extern double targetfps;
extern float exposure;
extern float biasParam;
extern int playdir, looptype, newanimation;

// Geometry.
extern int screenwidth, screenheight;
extern double lowleft, lowright;

// The movie.
extern MovieHeader header;
extern FILE *fptr;
extern size_t npixels;  // width x height
extern off_t offset;    // bytes of one frame: every picture record of it
extern int nrecords;    // picture records per frame: max(eyes, 1)
extern int showneyes;   // records of a frame shown: 2 for a stereo pair, else 1
extern int currentframe;

// Buffers, allocated once at start-up.
extern unsigned char *rgbe_buf;
extern float *out_img;        // the (left) picture to draw, bottom row first
extern float *out_img_right;  // the right eye of a stereo pair
extern float *fframe;
extern double *Lum;
extern float RGBE_E[256];

// Tone-mapping state.
extern double logAv;          // log-average of the record read last
extern double logAv0;         // adapted log-average (left eye, or the only one)
extern double logAv0_right;   // adapted log-average of the right eye

// Timing.
extern double readtime, drawtime, globalframerate, localframerate;
extern int framecounter;

extern const char *helpstring;

// Derives npixels, offset, nrecords and showneyes from the header.
void SetMovieGeometry();
// Fills RGBE_E with 2^(e - 136).
void BuildExponentTable();

// Frame loading and playback (frames.cpp).
void Move2Start();
void Move2End();
void HandleNextFrame(FILE *file, int frame);
int ReadFramefloat(FILE *file, unsigned char *rgbe, float *out, double *adapted = &logAv0);
int LoadFrame(const unsigned char *rgbe, double *lum, float *flt);

// Tone mapping and pixel output (tonemap.cpp).
void Tonemapping(double *lum, const float *frame, double maxLum, double logAvg,
                 double *adapted = &logAv0);
void PixelOutTmo(const double *lum, const float *frame, float *out = out_img);
void PixelOut(const float *frame, float *out = out_img);
double bias(double b, double x);
double SchlickBias(double t, float b);
// 1 when the processor has AVX2 and the conversion kernels use it; set from
// the processor at start. With 0 the SSE2 kernels run (the same results).
extern int use_avx;

// Set once CleanExit has begun: the window's close callback, which GLUT may
// run while the process ends, must not start a second one.
extern int ending;
// Orderly end: closes the movie, puts the display gamma back, exits 0.
[[noreturn]] void CleanExit();
// Puts the display gamma back and exits with `status` (start-up failures).
[[noreturn]] void FailExit(int status);

// GLUT callbacks and drawing (the GLUT glue).
void HandleIdle();
void HandleVisibility(int state);
void HandleDisplay();
void HandleReshape(int width, int height);
void HandleKeyboard(unsigned char key, int x, int y);
void HandleSpecialKeyboard(int key, int x, int y);
void DrawInfo();
void DrawHelp();
void DrawGLText(int x, int y, const char *text);

#endif
