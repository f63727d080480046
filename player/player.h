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

class WorkerPool;

// Flags and settings (command line and keys).
extern int tmo, showinfo, showhelp, debug, autoplay, fullscreen, showmouse, byteswap;
extern double targetfps;
extern float exposure;
extern float biasParam;
// playdir: 1 forward, -1 backward. looptype: what playing does at the
// ends (inspect.h): 1 loop, 0 play once, 2 ping-pong.
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
// Raised whenever the pictures shown are replaced or converted again, so
// that what is made from them (the clipping view, the histogram) is made
// again only then.
extern long picture_version;

// Buffers, allocated once at start-up (AllocatePlayerBuffers).
// The raw pixels of the frame shown: eye e's at rgbe_buf + 4 x npixels x e
// (ShownPixels in inspect.h).
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

// The worker pool that converts frames: null converts on the calling thread
// alone. Set at start-up (-j).
extern WorkerPool *workers;

// 1 when the window takes bytes (8 bits per channel): every conversion then
// also fills the display bytes (out_bytes, out_bytes_right), which give the
// very pixels that the float pictures give when drawn.
extern int upload_bytes;
extern unsigned char *out_bytes;        // the (left) picture as display bytes
extern unsigned char *out_bytes_right;  // the right eye's

// The display bytes of a pixel: blue, green, red and an opaque alpha, the
// order in which an 8-bit window keeps its pixels, so that the GL library
// takes them as they are instead of reordering every pixel on the thread
// that draws.
constexpr size_t DISPLAY_PIXEL_BYTES = 4;
// Component c (0 red, 1 green, 2 blue) of pixel k in display bytes.
inline unsigned char DisplayComponent(const unsigned char *bytes, size_t k, int c) {
  return bytes[DISPLAY_PIXEL_BYTES * k + 2 - (size_t)c];
}

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
// Allocates the display bytes when upload_bytes is set; 0 when there is no
// room for them.
int AllocateDisplayBytes();
// Frees every buffer (the spare set of prepare-ahead too), closes the movie
// if it is open, and clears the pointers.
void FreePlayerBuffers();

// Everything one record's conversion depends on besides its pixels and
// statistics, taken from the globals at one moment, so that a conversion
// on other threads never reads a setting that a key changes meanwhile.
struct ConversionSettings {
  int width, height;
  size_t npixels;
  int tmo;
  float exposure;
  float biasParam;
  int lookahead;  // look-ahead adaptation on
  int frame;      // the frame converted, for the look-ahead window
  WorkerPool *pool;
};
ConversionSettings CurrentSettings();

// Work is shared out among threads in runs of this many pixels, or bands of
// three rows: large enough to keep the scheduling cheap, small enough to
// balance.
constexpr size_t PIXEL_GRAIN = 16384;
constexpr size_t BAND_GRAIN = 8;

// The stages of a record's conversion with explicit settings; each splits
// its work over cs.pool and gives the results of one thread to the bit.
void DecodeFrame(const ConversionSettings &cs, const unsigned char *rgbe, double *lum, float *flt);
// The causal adaptation: moves *adapted halfway towards the frame's
// log-average (kept as it was for a corrupt one) and returns the normaliser.
double AdaptLogAverage(double *adapted, double logAvg);
void MapLuminance(const ConversionSettings &cs, double *lum, double maxLum, double avLum);
// Tone mapping of one record of cs.frame (eye 0 left or only, 1 right):
// the causal adaptation moves on, the normaliser and peak come from it or,
// in look-ahead mode, from the window around the frame; a frame with no
// normaliser at all is black.
void TonemapRecord(const ConversionSettings &cs, double *lum, double maxLum, double logAvg, double *adapted,
                   int eye);
// The tone mapping itself, once the normaliser and the peak are known (an
// exporter works them out beforehand from the statistics alone): a frame
// without a usable normaliser is black.
void TonemapWithNormaliser(const ConversionSettings &cs, double *lum, double peak, double avLum);
// The output pictures: colour reconstruction from the tone-mapped
// luminance, or the exposure; with the display bytes too when bytes is not
// null.
void ColourFrame(const ConversionSettings &cs, const double *lum, const float *frame, float *out,
                 unsigned char *bytes);
void ExposeFrame(const ConversionSettings &cs, const float *frame, float *out, unsigned char *bytes);
// The byte GL makes of a float component on an 8-bit channel.
unsigned char DisplayByte(float v);
// The display bytes of a whole output picture.
void DisplayBytes(const ConversionSettings &cs, const float *out, unsigned char *bytes);

// One frame's buffers: the raw pixels, the decoded picture and luminance,
// and the output of each eye shown (float, and bytes when uploaded so).
struct FrameBuffers {
  unsigned char *rgbe;
  float *fframe;
  double *lum;
  float *out[2];
  unsigned char *bytes[2];
};

// Converts a record that has been read (convert.cpp): decoding, then tone
// mapping against the adapted log-average or plain exposure, then the
// display bytes when the window takes them.
void ConvertRecord(const ConversionSettings &cs, int eye, const unsigned char *rgbe, double maxLum, double logAvg,
                   double *adapted, double *lum, float *flt, float *out, unsigned char *bytes);

// Frame loading and playback (navigation.cpp).
void Move2Start();
void Move2End();
// Where a step to `frame` lands by the stepping rules: the frame shown, the
// playing direction and autoplay after it, and the file position its
// records are read from. Changes nothing.
struct StepPlan {
  int frame;
  int playdir;
  int autoplay;
  off_t position;
};
StepPlan PlanStep(FILE *file, int frame);
// Positions the movie at `frame` by the stepping rules and converts it into
// the output images. Returns 1, or 0 when a record could not be read (its
// messages and "Failed to read rgbe buffer, frame n" printed); the caller
// then ends the player.
[[nodiscard]] int HandleNextFrame(FILE *file, int frame);
int ReadFramefloat(FILE *file, unsigned char *rgbe, float *out, double *adapted = &logAv0);

// Preparing the next frame ahead while the current one is shown
// (prepare.cpp). A second set of buffers takes the frame; it is used only
// when the frame asked for next, its place in the file, the settings and the
// adaptation state are all what they were when it was prepared, and thrown
// away otherwise, leaving no trace.
//
// Starts preparing `frame` (the next one in the playing direction) on a
// worker, when there are workers and the frame is not the one shown.
void PrepareFrame(int frame);
// Takes the prepared frame when it is the one `plan` asks for with today's
// settings and adaptation state: its pictures become the ones shown, the
// adaptation moves on as converting it here would have moved it, and the
// movie stands at the end of the frame. Returns 0, with nothing changed,
// when there is none or it does not fit (it is then thrown away).
int UsePreparedFrame(FILE *file, const StepPlan &plan);
// Prepares the frame `plan` asks for here and now, in the second set of
// buffers (the conversion shared with the workers), for UsePreparedFrame
// to take: a frame read at any place, shown only when it could be read.
// Stops a preparation under way first. Returns 1, or 0 when the frame could
// not be read (or there is no room for the buffers); nothing shown changes.
int PrepareFrameNow(FILE *file, const StepPlan &plan);
// Waits for a preparation under way and throws it away.
void StopPreparing();
// Stops preparing and frees the second set of buffers.
void FreeSpareBuffers();
// Number of prepared frames used and thrown away so far (for the tests).
extern long prepared_used, prepared_discarded;

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
