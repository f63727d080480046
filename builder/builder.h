// The movie builder's core: picture names from the file list, reading
// Radiance RGBE, OpenEXR and PFM pictures, their scene statistics and
// encoding, and the movie's records written in list order while a pool of
// workers converts the pictures. The program (halvpack.cpp) parses the
// command line and drives it.
#ifndef HALVORN_BUILDER_H
#define HALVORN_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "movie.h"

// The movie being written (movie_writer.cpp): the program owns it and hands
// it to the code that writes.
struct MovieWriter {
  FILE *file = nullptr;     // the movie file, or stdout
  MovieHeader header = {};  // its size is the size every picture must have
  uint64_t bytes = 0;       // bytes written to `file` so far
};

// Writes the header and counts its bytes. Returns 0, or -1 when the write
// failed.
int WriteHeader(MovieWriter *movie);
// Appends a picture record and counts its bytes. Returns 0, or -1 when the
// write failed.
int WriteRecord(MovieWriter *movie, double maxLum, double logAv, const unsigned char *rgbe, size_t npixels);

// The longest line of the file list; longer lines are split.
constexpr int LIST_LINE_LIMIT = 1000;

// Takes the first `count` white-space-delimited words of a file-list line
// into names[0..count-1]; a word the line does not have leaves its name as
// it was. Returns how many words it took (list_names.cpp).
int TakeNames(const char *line, std::string *names, int count);

// What the first bytes of a picture file say it is (picture_kind.cpp).
enum PictureKind {
  PICTURE_RGBE,     // "#?", and anything not named below: the RGBE codec judges it
  PICTURE_OPENEXR,  // 76 2f 31 01
  PICTURE_PFM,      // "PF" (colour) or "Pf" (grey)
};
// The bytes needed to tell the kinds apart.
constexpr size_t PICTURE_MAGIC_SIZE = 4;
PictureKind SniffPicture(const unsigned char *bytes, size_t count);

// Outcome of reading a picture.
enum PictureStatus {
  PICTURE_READ,        // the record holds the picture
  PICTURE_FAILED,      // unreadable: the reader has said why; the run goes on
  PICTURE_WRONG_SIZE,  // another size than the movie's: the run stops
  PICTURE_NO_MEMORY,   // no room for the scene: the run stops
};

struct FreeDeleter {
  void operator()(void *p) const;
};
using RGBEImage = std::unique_ptr<unsigned char[], FreeDeleter>;

// A buffer kept from picture to picture, grown when a picture needs more
// (scratch.cpp). Reserve returns room for `bytes`, or null when memory is
// short.
struct ScratchBuffer {
  RGBEImage data;
  size_t size = 0;
};
unsigned char *Reserve(ScratchBuffer *buffer, size_t bytes);

// Pixels whose values RGBE cannot hold (convert.cpp).
struct OutOfRange {
  uint64_t zeroed;     // pixels with a negative or NaN component, set to 0
  uint64_t saturated;  // pixels with a component above the largest RGBE value (or +Inf), set to it
};
// The largest value an RGBE component holds: mantissa 255 at the largest
// exponent, 255 x 2^119.
constexpr float RGBE_LARGEST = 0x1.fep126f;
// RGBE pixels (4 bytes each) of `count` float colours: red, green and blue
// at rgb[0], rgb[1], rgb[2], the next colour `stride` floats on. Values RGBE
// cannot hold are clamped first and counted; the rest are encoded exactly as
// float2rgbe does.
void ConvertFloats(const float *rgb, size_t stride, size_t count, unsigned char *rgbe, OutOfRange *range);
// The same for grey values: red = green = blue.
void ConvertGreys(const float *grey, size_t count, unsigned char *rgbe, OutOfRange *range);
// The same for interleaved half floats (IEEE binary16), stride 3.
void ConvertHalves(const uint16_t *rgb, size_t count, unsigned char *rgbe, OutOfRange *range);
// The conversions work on eight colours at a time with AVX2 when the
// processor has it (and F16C), and one at a time otherwise; both give the
// same bytes. Turns the AVX2 code off or back on (for tests and
// benchmarks; not while other threads convert) and says whether it is on.
bool UseAVX2Conversion(bool wanted);
// Prints the picture's line about clamped pixels, when there were any.
void ReportOutOfRange(const OutOfRange &range, FILE *messages);

// Scene statistics and the movie's encoding of RGBE pixels (encode.cpp).
// Each thread that encodes keeps a table of its own; the table only saves
// work, so the results do not depend on which table is used.
struct ColourTable;
struct ColourTableDeleter {
  void operator()(ColourTable *table) const;
};
using ColourTablePtr = std::unique_ptr<ColourTable, ColourTableDeleter>;
ColourTablePtr CreateColourTable();

// A record in the making: rows of a picture's RGBE pixels go in from the top
// row down; every pixel is decoded as the RGBE reader decodes it, counted
// into the maximum and log-average luminance in that order, and encoded
// again into `pixels` (bottom row first, as the movie stores it).
struct Colour;
struct RecordEncoder {
  ColourTable *table;
  unsigned char *pixels;  // width x height x 4 bytes
  size_t width;
  int height;
  int row;             // rows encoded so far
  const Colour *last;  // the colour of the pixel before
  double top, sum;     // the largest luminance so far, the sum of the logarithms
  bool usetable;
};
void StartRecord(RecordEncoder *record, ColourTable *table, int width, int height, unsigned char *pixels);
// Encodes the next `rows` rows (width pixels of 4 bytes each, top first).
void EncodeRows(RecordEncoder *record, const unsigned char *rgbe, int rows);
// The statistics once every row is in.
void FinishRecord(const RecordEncoder *record, double *maxLum, double *logAv);

// What the values of PFM and PPM pictures carry (hdr_input.cpp): linear
// values, taken as they are, or (-pq, -hlg) BT.2020 signals from 0 to 1
// with the PQ curve or the HLG curve, decoded into linear BT.709 values in
// units of `nits` cd/m2 (HLG through its reference display of 1000 cd/m2).
enum SignalCurve { SIGNAL_LINEAR, SIGNAL_PQ, SIGNAL_HLG };
struct PictureSignal {
  SignalCurve curve = SIGNAL_LINEAR;
  double nits = 179.0;
};
// Decodes `count` colours (three floats each) in place. Colours outside
// BT.709 come out with negative components, which the clamping counts.
void DecodeSignal(const PictureSignal &signal, float *rgb, size_t count);

// What each thread that converts pictures keeps from picture to picture.
struct Workspace {
  ColourTablePtr colours;
  ScratchBuffer scene;      // a whole picture's RGBE pixels (RGBE files)
  ScratchBuffer band;       // rows of decoded values (OpenEXR, PFM)
  ScratchBuffer band_rgbe;  // the same rows as RGBE pixels
  ScratchBuffer io;         // the picture stream's buffer
};

// Which picture of a file to take. A one-name line of a two-eyed movie
// asks the file for a stereo pair: an OpenEXR file with the views "left"
// and "right" gives both eyes, any other file only the left one.
enum PictureView {
  VIEW_DEFAULT,  // the file's picture (OpenEXR: its first part with R, G and B, or Y)
  VIEW_LEFT,     // the left view of a stereo pair, the default picture otherwise
  VIEW_RIGHT,    // the right view of a stereo pair; none otherwise
};

// The size every picture of a movie must have: the header's width and
// height.
struct PictureSize {
  int width, height;
};

// The picture readers. Each reads the picture's size first and returns
// PICTURE_WRONG_SIZE before any pixel room is taken when it is not `size`;
// then it feeds every row into `record`. Their messages go to `messages`,
// the codec's to its thread's message stream.
PictureStatus ReadRGBEPicture(FILE *file, PictureSize size, Workspace *work, RecordEncoder *record, FILE *messages);
PictureStatus ReadPFMPicture(FILE *file, PictureSize size, Workspace *work, RecordEncoder *record, OutOfRange *range,
                             FILE *messages, const PictureSignal &signal = PictureSignal());
PictureStatus ReadOpenEXRPicture(FILE *file, const char *name, PictureView view, PictureSize size, Workspace *work,
                                 RecordEncoder *record, OutOfRange *range, FILE *messages);
// Whether an open picture file holds a stereo pair (read_openexr.cpp); says
// nothing either way.
bool HoldsStereoPair(FILE *file, const char *name);

// The PFM header (read_pfm.cpp): "PF" or "Pf", width, height and scale as
// text, then the floats, bottom row first, in the byte order that the
// scale's sign gives (negative: little-endian).
struct PFMHeader {
  int width, height;
  int channels;        // 3 for "PF", 1 for "Pf"
  bool little_endian;  // the floats' byte order
  float scale;         // the floats are multiplied by its absolute value
  uint64_t data_offset;  // where the floats start; 0 in a stream without positions (a pipe)
};
// Reads the header from the stream's position. Returns 0, or -1 after
// printing why.
int ReadPFMHeader(FILE *file, PFMHeader *pfm, FILE *messages);

// Converts a band of `rows` rows of PFM floats as the file holds them
// (bottom row first, its byte order, before the scale) in place, then into
// RGBE pixels top row first (read_pfm.cpp).
void ConvertPFMBand(const PFMHeader &pfm, const PictureSignal &signal, float *band, size_t rows, unsigned char *rgbe,
                    OutOfRange *range);

// A picture of the stream on standard input (read_stream.cpp): its bytes
// are read by the thread that reads the stream, its encoding is any
// worker's (convert_stream.cpp). Linear PFM and PPM values become RGBE
// pixels as they are read, a band at a time while the band is in the
// cache: a third of the bytes to keep, and no second pass over the floats.
// Signals (-pq, -hlg) are kept as they came, for the workers to decode.
enum StreamKind {
  STREAM_NONE,   // no stream picture: a file of the list
  STREAM_PFM,    // PFM signals: `bytes` holds the floats as the file does
  STREAM_PPM16,  // binary PPM signals of maxval 65535: `bytes` holds the samples, top row first
  STREAM_RGBE,   // Radiance RGBE, or linear PFM or PPM values: `bytes` holds RGBE pixels, top row first
};
struct StreamPicture {
  StreamKind kind = STREAM_NONE;
  PFMHeader pfm = {};
  ScratchBuffer bytes;  // kept from picture to picture, never cleared first
  OutOfRange range = {0, 0};  // the values clamped while the picture was read
};
// How reading a picture from the stream went.
enum StreamRead {
  STREAM_PICTURE,     // *picture holds the next picture
  STREAM_END,         // the stream ended before the picture's first byte
  STREAM_BROKEN,      // a picture that is none of the kinds, or cut short: the reason is printed
  STREAM_WRONG_SIZE,  // another size than the movie's: the size message is printed
  STREAM_NO_MEMORY,   // no room for the picture: the message is printed
};
// Reads the next picture: its header, then exactly the bytes of its pixels,
// `band` the reading thread's room for linear values on their way to RGBE.
// Messages go to `messages`, the codec's to the thread's message stream.
StreamRead ReadStreamPicture(FILE *in, PictureSize size, const PictureSignal &signal, ScratchBuffer *band,
                             StreamPicture *picture, FILE *messages);
// 16-bit PPM samples (most significant byte first) as the values s / 65535.
void PpmSamplesToFloats(const unsigned char *samples, size_t count, float *values);
// Encodes a stream picture into `record`, its signal decoded (PFM and PPM).
PictureStatus ConvertStreamPicture(StreamPicture *picture, PictureSize size, const PictureSignal &signal,
                                   Workspace *work, RecordEncoder *record, OutOfRange *range, FILE *messages);

// One picture to convert and, once converted, to write (process_image.cpp).
struct PictureJob {
  std::string name;   // the picture's name in the list (empty: no picture)
  std::string other;  // VIEW_RIGHT: the picture to take when `name` holds no pair
  PictureView view;
  PictureSize size;  // the movie's: a picture of another size is refused
  PictureSignal signal;  // what PFM and PPM values carry
  StreamPicture stream;  // a picture of the stream instead of a named file
  // Results, for the writer.
  std::string shown;     // the name in the "Processing" line
  std::string messages;  // everything said about the picture, in order
  PictureStatus status;
  double maxLum, logAv;
  RGBEImage pixels;  // the record's pixels, kept for the job's next picture of the same size
};
// Converts one picture: opens it once, reads it by its kind, encodes its
// record and collects every message. Runs on any thread; each thread keeps
// its own workspace.
void ProcessImage(PictureJob *job);

// How working through a file list ended.
enum PackStatus {
  PACK_DONE,          // every line was worked through, or the list ended early
  PACK_STOPPED,       // a picture of the wrong size, or no memory for one: the run must stop
  PACK_WRITE_FAILED,  // a record could not be written
  PACK_STREAM_BROKEN, // the stream held a picture of no kind, or ended inside one
};

// Works through the file list from its current position, the header's eyes
// naming a line and its frame count the lines, converting pictures on
// `threads` threads (this one among them while it waits; 1: all on this
// thread) and writing their records and messages in list order, at most
// threads + 1 pictures in flight (pack_list.cpp). Stops at a picture of the wrong size, when memory runs
// out or when a record cannot be written, after everything before that
// picture was written and that picture's messages were printed; the workers
// are stopped and joined when it returns.
PackStatus PackList(FILE *list, MovieWriter *movie, unsigned threads, const PictureSignal &signal = PictureSignal());

// Works through the pictures of a stream until it ends, each picture a
// record in the order of the stream, named "stdin #n" from 1 in the
// messages, converted on `threads` threads as PackList converts
// (pack_stream.cpp). Stops at a picture that breaks the stream, of the
// wrong size or without memory, or a record that cannot be written, after
// everything before it was written; the records written are counted in
// movie->bytes.
PackStatus PackStream(FILE *in, MovieWriter *movie, unsigned threads, const PictureSignal &signal);

#endif
