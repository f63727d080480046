// The player's GL-free core: its state, moving through the movie, decoding
// and tone mapping. Module state lives in file-level globals, as the GLUT
// callbacks share it on one thread without locking. The core uses neither
// GLUT nor GL, so the program's GLUT glue, tests and benchmarks link it
// alike; it never ends the process but reports failures to its caller.
#ifndef HALVORN_PLAYER_H
#define HALVORN_PLAYER_H

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
// Look-ahead adaptation (lookahead.h): 1 when on (-A, key 'a'), and the
// window's half-length in frames (-R n).
extern int lookahead, lookahead_radius;

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

// Buffers, allocated once at start-up (AllocatePlayerBuffers).
extern unsigned char *rgbe_buf;
extern float *out_img;        // the (left) picture to draw, bottom row first
extern float *out_img_right;  // the right eye of a stereo pair
extern float *fframe;
extern double *Lum;

// Tone-mapping state.
extern double logAv;          // log-average of the record read last
extern double logAv0;         // adapted log-average (left eye, or the only one)
extern double logAv0_right;   // adapted log-average of the right eye

// Timing.
extern double readtime, drawtime, globalframerate, localframerate;
extern int framecounter;

// The usage and help text (help_text.cpp), and the help overlay's second
// block: the options and keys added since.
extern const char *helpstring;
extern const char *helpstring_added;

// 1 when the processor has AVX2 and the conversion kernels use it; set from
// the processor at start (cpu.cpp). With 0 the SSE2 kernels run (the same
// results).
extern int use_avx;

// Derives npixels, offset, nrecords and showneyes from the header.
void SetMovieGeometry();

// Which of the player's buffers could not be allocated.
enum BufferFault {
  BUFFERS_ALLOCATED,
  NO_RGBE_BUFFER,    // "Malloc of the rgbe image failed"
  NO_OUTPUT_IMAGE,   // "Malloc of the output image failed"
  NO_FLOAT_IMAGE,    // "Float Image malloc failed"
  NO_LUMINANCE_MAP,  // "Lum malloc failed"
};
// Allocates the buffers for the size in `header`, in start-up's order,
// stopping at the first that fails (the ones before it stay allocated).
// `right_eye` also allocates out_img_right, for a stereo pair.
BufferFault AllocatePlayerBuffers(int right_eye);
// Frees them, closes the movie if it is open, and clears the pointers.
void FreePlayerBuffers();

// Frame loading and playback (navigation.cpp).
void Move2Start();
void Move2End();
// Positions the movie at `frame` by the stepping rules and converts it into
// the output images. Returns 1, or 0 when a record could not be read (its
// messages and "Failed to read rgbe buffer, frame n" printed); the caller
// then ends the player.
[[nodiscard]] int HandleNextFrame(FILE *file, int frame);
int ReadFramefloat(FILE *file, unsigned char *rgbe, float *out, double *adapted = &logAv0);

// Decoding (decode.cpp).
int LoadFrame(const unsigned char *rgbe, double *lum, float *flt);

// Tone mapping (tonemap.cpp) and pixel output (pixel_out.cpp).
void Tonemapping(double *lum, const float *frame, double maxLum, double logAvg,
                 double *adapted = &logAv0);
// The causal normaliser: the adapted value moves halfway towards the
// frame's log-average, except for a corrupt one. Returns the frame's
// normaliser; 0 when there is none yet.
double AdaptLogAverage(double *adapted, double logAvg);
void PixelOutTmo(const double *lum, const float *frame, float *out = out_img);
void PixelOut(const float *frame, float *out = out_img);
double bias(double b, double x);

#endif
