// The RGBE codec: Radiance shared-exponent pixels, the picture header, and
// flat and run-length-encoded scanline reading and writing.
//
// Every function that can fail returns 0 on success and -1 on failure, after
// printing its message (on stderr, or the stream RGBE_SetMessageStream set);
// none of them ends the process.
#ifndef HALVORN_RGBE_H
#define HALVORN_RGBE_H

#include <array>
#include <cstdint>
#include <cstdio>

// Where the calling thread's messages go: the codec prints every failure
// there (null, the default, means stderr). A program that reads pictures on
// several threads gives each picture a stream of its own, so that each
// picture's messages stay together.
void RGBE_SetMessageStream(FILE *stream);

// Optional header record; both header functions accept a null pointer.
struct RGBE_PictureInfo {
  int32_t flags;     // which of the fields below hold values
  char program[16];  // word after "#?" on the first line, at most 15 chars
  float gamma;       // GAMMA= value, default 1.0
  float exposure;    // EXPOSURE= value, default 1.0
};

// Bits of RGBE_PictureInfo::flags.
constexpr int RGBE_HAS_PROGRAM = 1;
constexpr int RGBE_HAS_GAMMA = 2;
constexpr int RGBE_HAS_EXPOSURE = 4;

// Error kinds handed to the module's reporter.
constexpr int RGBE_ERROR_READ = 0;
constexpr int RGBE_ERROR_WRITE = 1;
constexpr int RGBE_ERROR_FORMAT = 2;
constexpr int RGBE_ERROR_MEMORY = 3;

// The smallest value decoding yields (single precision 9.99999997e-07).
constexpr float RGBE_FLOOR = 1e-6f;

// 2^(e - 136) for every exponent byte e, as ldexp(1.0, e - 136) rounds it
// to a float: a mantissa times its entry is the decoded component. Entry 0
// is never used (exponent 0 decodes to the floor).
extern const std::array<float, 256> RGBE_E;

// One pixel: float triple <-> 4 bytes (red, green, blue mantissa, exponent).
void float2rgbe(unsigned char rgbe[4], float red, float green, float blue);
void rgbe2float(float *red, float *green, float *blue, const unsigned char rgbe[4]);

// Header. Width comes before height here, while the size line holds the
// height first. The stream is left at the first byte of the pixel data.
int RGBE_WriteHeader(FILE *fp, int width, int height, RGBE_PictureInfo *info);
int RGBE_ReadHeader(FILE *fp, int *width, int *height, RGBE_PictureInfo *info);

// Pixels. Float images are packed red, green, blue triples in file order.
int RGBE_WritePixels(FILE *fp, const float *data, int numpixels);
int RGBE_ReadPixels(FILE *fp, float *data, int numpixels);
int RGBE_WritePixels_RLE(FILE *fp, const float *data, int scanline_width, int num_scanlines);
int RGBE_ReadPixels_RLE(FILE *fp, float *data, int scanline_width, int num_scanlines);
// The same pictures with the same messages as RGBE_ReadPixels_RLE, but the
// pixels as they are stored, 4 bytes each (red, green and blue mantissa,
// exponent), not decoded.
int RGBE_ReadRawPixels_RLE(FILE *fp, unsigned char *data, int scanline_width, int num_scanlines);

#endif
