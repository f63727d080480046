// Converting a movie's picture records into the pictures a window shows:
// decoding, adaptive logarithmic tone mapping or a plain exposure, and the
// display bytes. GL-free and without process-wide state: every input is an
// argument, so the player, the exporter, halvinfo, the tests and the
// benchmarks call the same kernels, on any thread, and get the same bits.
#ifndef HALVORN_RENDER_H
#define HALVORN_RENDER_H

#include <cstddef>
#include <cstdint>

class WorkerPool;
struct StatisticsCache;

// The look-ahead window's half-length when none is given.
constexpr int LOOKAHEAD_DEFAULT_RADIUS = 6;

// 1 when the processor runs the AVX2 kernels; the SSE2 ones give the same
// results.
int ProcessorHasAVX2();
// 1 when the processor (and the system, which must save the wider
// registers) runs AVX-512F kernels.
int ProcessorHasAVX512();

// What the viewer chooses: every input of a conversion besides the record
// itself and the adaptation state. Two conversions with equal settings (and
// equal adaptation) give the same pictures.
struct RenderSettings {
  int tmo = 0;              // adaptive logarithmic tone mapping, else the exposure
  float exposure = 0.0f;    // stops
  float biasParam = 0.85f;  // the tone mapper's bias
  int lookahead = 0;        // the normaliser and peak from the window around the frame
  int radius = LOOKAHEAD_DEFAULT_RADIUS;
  int avx = 0;              // the AVX2 kernels
  int bytes = 0;            // make the display bytes too
};
// Equal to the bit (floats compared by their bits).
bool SameSettings(const RenderSettings &a, const RenderSettings &b);

// One record's conversion: the settings, the picture's size, the frame it
// belongs to, the threads it may use (null: the calling thread alone) and
// the statistics its look-ahead windows come from (null: none).
struct ConversionSettings {
  int width = 0, height = 0;
  size_t npixels = 0;
  int tmo = 0;
  float exposure = 0.0f;
  float biasParam = 0.85f;
  int lookahead = 0;
  int radius = LOOKAHEAD_DEFAULT_RADIUS;
  int avx = 0;
  int frame = 0;
  WorkerPool *pool = nullptr;
  StatisticsCache *statistics = nullptr;
};
ConversionSettings MakeConversion(const RenderSettings &settings, int width, int height, int frame, WorkerPool *pool,
                                  StatisticsCache *statistics);

// Work is shared out among threads in runs of this many pixels, or bands of
// three rows: large enough to keep the scheduling cheap, small enough to
// balance.
constexpr size_t PIXEL_GRAIN = 16384;
constexpr size_t BAND_GRAIN = 8;

// Doubles of a luminance map for a picture: one a pixel, plus a margin of
// one block row and column ((W + 2) x (H + 2)) that the tone mapper may use
// at the picture's right and top edges.
inline size_t LuminanceMapSize(int width, int height) { return ((size_t)width + 2) * ((size_t)height + 2); }

// The display bytes of a pixel: blue, green, red and an opaque alpha, the
// order in which an 8-bit window keeps its pixels, so that the GL library
// takes them as they are instead of reordering every pixel on the thread
// that draws.
constexpr size_t DISPLAY_PIXEL_BYTES = 4;
// Component c (0 red, 1 green, 2 blue) of pixel k in display bytes.
inline unsigned char DisplayComponent(const unsigned char *bytes, size_t k, int c) {
  return bytes[DISPLAY_PIXEL_BYTES * k + 2 - (size_t)c];
}

// A pixel as the player decodes it: mantissa x 2^(e - 136) for each
// component (a zero mantissa gives 0); a pixel without exponent is black,
// every component RGBE_FLOOR and its luminance PLAYER_BLACK_LUMINANCE. The
// SIMD kernels give these bits.
constexpr double PLAYER_BLACK_LUMINANCE = 1e-6;
void DecodePlayerPixel(const unsigned char rgbe[4], float rgb[3]);
// The luminance of a decoded pixel, before any exposure.
inline double PixelLuminance(const float rgb[3]) {
  return (0.2126 * (double)rgb[0] + 0.7152 * (double)rgb[1]) + 0.0722 * (double)rgb[2];
}

// The stages of a record's conversion; each splits its work over cs.pool
// and gives the results of one thread to the bit.
void DecodeFrame(const ConversionSettings &cs, const unsigned char *rgbe, double *lum, float *flt);
// The causal adaptation: moves *adapted halfway towards the frame's
// log-average (kept as it was for a corrupt one) and returns the normaliser;
// 0 when there is none yet.
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
// The tone mapper's bias curve.
double bias(double b, double x);

// A whole record: decoding, then tone mapping against the adapted
// log-average or the plain exposure, then the display bytes when `bytes` is
// not null.
void ConvertRecord(const ConversionSettings &cs, int eye, const unsigned char *rgbe, double maxLum, double logAvg,
                   double *adapted, double *lum, float *flt, float *out, unsigned char *bytes);

#endif
