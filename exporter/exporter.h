// The export core: what the player shows, written out as PNG pictures or a
// PPM stream. Gamma and PQ quantisation, HDR10 light and its levels,
// output-name patterns, files written under a temporary name and renamed,
// PNG and PPM encoding, the export of a range of frames, and the player's
// screenshot. GL-free: halvexport and the player link it alike.
#ifndef HALVORN_EXPORTER_H
#define HALVORN_EXPORTER_H

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "movie.h"
#include "movie_file.h"

// ---------------------------------------------------------------------------
// Gamma quantisation (quantise.cpp).
//
// A float component v is written as round((2^d - 1) x v^(1/G)) after
// clamping v to [0, 1], d the bit depth, G the gamma, rounding ties to even
// as the player's upload does. With G = 1 and 8 bits the byte is exactly the
// one the player's window shows (DisplayByte, the GL upload's rounding).

// The display gamma the player sets with xgamma: the default of an export,
// and the gamma of the player's screenshots.
constexpr double DISPLAY_GAMMA = 2.2;

// The gammas accepted: a display gamma and its inverse, with room.
constexpr double MIN_EXPORT_GAMMA = 0.1;
constexpr double MAX_EXPORT_GAMMA = 10.0;

struct Quantiser {
  int depth = 8;          // 8 or 16 bits a sample
  double gamma = 1.0;
  uint32_t maxval = 255;  // 2^depth - 1
  bool pq = false;        // the PQ curve instead of the gamma (16 bits)
  int mode = 0;           // how Quantise works: see quantise.cpp
  // The table of the general case. thresholds[q] holds the bits of the
  // smallest float in (0, 1] that is written as q or more (q = 1 ... maxval;
  // thresholds[maxval + 1] lies above every float below 1). Floats are
  // grouped in buckets of their top bits, from the bucket of thresholds[1]
  // on. bucket[b] holds the value written for the bucket's first float in
  // its high 16 bits. In its low 16: where the next value begins, counted in
  // floats from the bucket's first (2^shift: not in the bucket); or, when
  // some bucket holds more than one threshold (`crowded`), how many values
  // the bucket spans, from which a float's value is estimated and then
  // corrected against the thresholds.
  std::vector<uint32_t> thresholds;
  std::vector<uint32_t> bucket;
  uint32_t base = 0;     // bits of the first float of the first bucket
  int shift = 0;         // float bits >> shift is the bucket
  bool crowded = false;
  int avx = 0;           // the AVX2 kernel (the same values)
};

// Builds the quantiser for a gamma in [MIN_EXPORT_GAMMA, MAX_EXPORT_GAMMA]
// and a depth of 8 or 16. Returns 0, or -1 for anything else.
int BuildQuantiser(Quantiser *q, double gamma, int depth);

// The definition itself, computed one value at a time with pow: the
// reference the tables are built from and checked against.
uint32_t QuantiseByDefinition(double gamma, int depth, float v);

// The quantiser of the PQ curve at 16 bits: a component y in [0, 1] is the
// luminance y x 10,000 cd/m2, written as round(65535 x PQ(y)), ties to
// even (PqSampleByDefinition, the reference its table is built from).
void BuildPqQuantiser(Quantiser *q);
uint32_t PqSampleByDefinition(float y);

// One component.
uint32_t Quantise(const Quantiser &q, float v);

// A float picture (three floats a pixel, bottom row first, as the player
// holds it) into samples, top row first: row y of the picture goes to
// samples + (height - 1 - y) x stride, starting `column` pixels in. 8-bit
// samples are bytes, 16-bit ones two bytes each, most significant first
// (the order of PNG and PPM alike).
void QuantisePicture(const Quantiser &q, const float *picture, int width, int height, unsigned char *samples,
                     size_t stride, int column);

// ---------------------------------------------------------------------------
// Output-name patterns (pattern.cpp).
//
// A pattern holds exactly one printf-style integer field: %d, %i or %u with
// flags (- + space 0), a width and a precision, and no length modifier;
// "%%" stands for a percent sign.

struct OutputPattern {
  std::string prefix, suffix;  // the text around the field, "%%" made "%"
  bool left = false, plus = false, space = false, zero = false;
  int width = 0;
  int precision = -1;  // -1: none given
  char conversion = 'd';
};

// Reads a pattern. Returns an empty string, or the reason it is not one.
std::string ParseOutputPattern(const std::string &text, OutputPattern *pattern);

// The name for frame number `frame` (0 or more), as printf would write it.
std::string FormatOutputName(const OutputPattern &pattern, int64_t frame);

// ---------------------------------------------------------------------------
// Files written under a temporary name in the target's directory and renamed
// into place once complete (safe_file.cpp): a file under its final name is
// always whole.

struct PendingFile {
  std::string target;  // the final name
  std::string temp;    // the temporary name beside it
  int fd = -1;
};

// Creates the temporary file for `target` (mode 0666 less the umask).
// Returns 0, or -1 with errno set.
int CreatePendingFile(const std::string &target, PendingFile *file);
// Writes all of `size` bytes, going on after interruptions. Returns 0, or -1
// with errno set.
int WriteWhole(int fd, const void *data, size_t size);
// Closes the temporary file. Returns 0, or -1 with errno set (the data may
// not have reached the disk).
int ClosePendingFile(PendingFile *file);
// Renames the closed temporary file to its target, replacing a file there.
// Returns 0, or -1 with errno set.
int CommitPendingFile(PendingFile *file);
// Gives the closed temporary file the name `target` only if no file has it:
// -1 with errno EEXIST when one has, the temporary file kept.
int CommitPendingFileNoReplace(PendingFile *file, const std::string &target);
// Closes the temporary file if it is open and removes it (after a failure).
void DiscardPendingFile(PendingFile *file);

// ---------------------------------------------------------------------------
// Picture files (picture_file.cpp).

// Writes an RGB PNG of width x height pixels from samples (top row first,
// rows `stride` bytes apart) to `fd`, with zlib's fastest settings. It holds
// no gamma chunk: the samples are meant to be shown as they are, the display
// gamma baked in. Returns 0, or -1 with the reason in *error.
int WritePng(int fd, int width, int height, int depth, const unsigned char *samples, size_t stride,
             std::string *error);

// The header of a binary PPM (P6) picture: maxval 255 or 65535.
std::string PpmHeader(int width, int height, int depth);

// ---------------------------------------------------------------------------
// The export of a range of frames (export.cpp, with export_plan.cpp and
// export_frame.cpp).

enum ExportEye { EXPORT_BOTH, EXPORT_LEFT, EXPORT_RIGHT };

// The content light levels of HDR pictures, in cd/m2: the largest
// max(R, G, B) of any pixel (MaxCLL) and the largest frame average of
// max(R, G, B) (MaxFALL).
struct LightLevels {
  double maxcll = 0.0;
  double maxfall = 0.0;
};

struct ExportJob {
  std::string path;                  // the movie's path, for the look-ahead's own reads
  const MovieFile *movie = nullptr;  // open, its header read (and swapped) and checked
  int tmo = 0;
  float exposure = 0.0f;
  float biasParam = 0.85f;
  int lookahead = 0;
  int radius = 6;
  int64_t first = 0, last = 0;  // frame numbers; last below the header's count
  ExportEye eye = EXPORT_BOTH;  // of a stereo pair
  double gamma = DISPLAY_GAMMA;
  int depth = 8;
  bool stream = false;    // a PPM stream to `streamfd`, else PNG files named by `pattern`
  int streamfd = 1;
  OutputPattern pattern;
  // HDR10 pictures: absolute light in BT.2020 primaries, clipped to `peak`
  // and written with the PQ curve at 16 bits (depth 16, gamma unused). The
  // light of a pixel is its value times `nits` without tone mapping, and
  // the tone mapper's value times `peak` with it.
  bool pq = false;
  double peak = 1000.0;
  double nits = 179.0;
  bool measure_only = false;        // the light levels alone: no picture is written
  LightLevels *levels = nullptr;    // the light levels of the frames written, when not null
  unsigned threads = 1;
  // Set from a signal handler: the export stops after the frame being
  // written, removes what is unfinished and reports the interruption.
  const volatile sig_atomic_t *stop = nullptr;
  // Called after every frame written, with the count so far and the total.
  std::function<void(int64_t done, int64_t total)> progress;
  // Every message of a failure goes here, one line without its end.
  std::function<void(const std::string &line)> report;
};

enum ExportResult {
  EXPORT_DONE,         // every frame of the range written
  EXPORT_FAILED,       // the movie ended early, a read or a write failed
  EXPORT_INTERRUPTED,  // *stop was set
};

// Exports frames first ... last: the causal adaptation from frame 0 (and the
// look-ahead windows over the whole movie) worked out from the records'
// statistics alone, then the frames converted on `threads` threads and
// written in order. Frames before a failure are all written; nothing after
// it, and nothing unfinished is left.
ExportResult ExportFrames(const ExportJob &job);

// The limits of -pq's peak and of -nits, in cd/m2.
constexpr double MIN_HDR_NITS = 0.01;
constexpr double MAX_HDR_NITS = 10000.0;

// The light of one frame's pixels, added up as they are converted.
struct FrameLight {
  double brightest = 0.0;  // the largest max(R, G, B)
  double sum = 0.0;        // the sum of max(R, G, B)
};

// Turns `count` pixels of linear BT.709 values into BT.2020 light in
// cd/m2 (value x scale, then the primaries matrix), each component clipped
// to [0, peak] (NaN to 0), and leaves light x 10^-4 in place, the input of
// the PQ quantiser. Adds each pixel's max(R, G, B) to *light in pixel order
// (hdr_output.cpp). `avx`: four pixels at a time with AVX2, the same bits.
void ToPqLight(float *rgb, size_t count, double scale, double peak, int avx, FrameLight *light);

// The pixel width of the exported pictures: both eyes of a pair side by side
// with EXPORT_BOTH.
int ExportWidth(const MovieHeader &header, ExportEye eye);

// ---------------------------------------------------------------------------
// The player's screenshot (screenshot.cpp).

// The name of a shot of `frame` of the movie at `moviepath`: the movie's file
// name without its directory and extension, a dash, the frame number in at
// least five digits, then "-n" for the n-th name tried (n from 2), ".png".
std::string ScreenshotName(const std::string &moviepath, int frame, int attempt);

// Writes the pictures shown (left, and right for a stereo pair, else null;
// width x height floats as the player holds them) side by side as an 8-bit
// PNG with `gamma` baked in, in the current directory under the first free
// name of ScreenshotName. Returns 0 with the name in *written, or -1 with
// the reason in *error.
int WriteScreenshot(const std::string &moviepath, int frame, const float *left, const float *right, int width,
                    int height, double gamma, std::string *written, std::string *error);

#endif
