// The RGBE codec. Pixels are converted one at a time; scanlines are read and
// written through buffered stdio in small pieces (4-byte pixels and markers,
// 2-byte packet heads, literal bodies as single items). A stream is used by
// one thread at a time, so the unlocked stdio calls are used on the hot
// paths; messages go to the calling thread's message stream.
#include "rgbe.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int RLE_MIN_WIDTH = 8;
constexpr int RLE_MAX_WIDTH = 0x7fff;
constexpr int MIN_RUN_LENGTH = 4;
constexpr int MAX_RUN = 127;
constexpr int MAX_LITERAL = 128;
constexpr int HEADER_LINE = 128;  // one fgets piece: 127 characters and a NUL
constexpr size_t FLAT_CHUNK = 1024;  // pixels fetched per fread in the flat reader

const char FORMAT_LINE[] = "FORMAT=32-bit_rle_rgbe\n";

// 2^k, exact in double for every k the table needs.
constexpr double PowerOfTwo(int k) {
  double v = 1.0;
  for (; k > 0; k--) v *= 2.0;
  for (; k < 0; k++) v *= 0.5;
  return v;
}

constexpr std::array<float, 256> ExponentTable() {
  std::array<float, 256> table{};
  for (int e = 0; e < 256; e++) table[e] = (float)PowerOfTwo(e - 136);
  return table;
}

inline void decode_pixel(float *out, const unsigned char *rgbe) {
  if (rgbe[3] == 0) {
    out[0] = out[1] = out[2] = RGBE_FLOOR;
    return;
  }
  const float f = RGBE_E[rgbe[3]];
  // A zero mantissa gives the floor, never 0; the products are exact.
  out[0] = rgbe[0] ? rgbe[0] * f : RGBE_FLOOR;
  out[1] = rgbe[1] ? rgbe[1] * f : RGBE_FLOOR;
  out[2] = rgbe[2] ? rgbe[2] * f : RGBE_FLOOR;
}

// Truncates a scaled component toward zero and keeps its low eight bits.
// Values that no caller passes (negative, NaN, beyond the largest exponent)
// are clamped into 0..255 instead of being converted with undefined results.
inline unsigned char scaled_byte(double x) {
  if (!(x >= 0.0)) return 0;
  if (x >= 256.0) return 255;
  return (unsigned char)(int)x;
}

// Where this thread's messages go; null means stderr.
thread_local FILE *message_stream = nullptr;

// The module's single reporter: prints the message for its kind, returns -1.
// Read and write errors read as perror would print them (%m is errno's text).
int rgbe_error(int rgbe_error_code, const char *msg) {
  FILE *out = message_stream ? message_stream : stderr;
  switch (rgbe_error_code) {
    case RGBE_ERROR_READ:
      fprintf(out, "RGBE read error: %m\n");
      break;
    case RGBE_ERROR_WRITE:
      fprintf(out, "RGBE write error: %m\n");
      break;
    case RGBE_ERROR_FORMAT:
      fprintf(out, "RGBE bad file format: %s\n", msg ? msg : "(null)");
      break;
    default:
    case RGBE_ERROR_MEMORY:
      fprintf(out, "RGBE error: %s\n", msg ? msg : "(null)");
      break;
  }
  return -1;
}

// Flat forms with 64-bit counts, so width x scanlines never wraps.
int write_flat(FILE *fp, const float *data, size_t numpixels) {
  unsigned char rgbe[4];
  for (size_t i = 0; i < numpixels; i++, data += 3) {
    float2rgbe(rgbe, data[0], data[1], data[2]);
    if (fwrite(rgbe, sizeof(rgbe), 1, fp) < 1) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
  }
  return 0;
}

// The stored bytes of flat pixels, as they are.
int read_flat_raw(FILE *fp, unsigned char *data, size_t numpixels) {
  if (fread_unlocked(data, 4, numpixels, fp) < numpixels) return rgbe_error(RGBE_ERROR_READ, nullptr);
  return 0;
}

int read_flat(FILE *fp, float *data, size_t numpixels) {
  unsigned char chunk[4 * FLAT_CHUNK];
  while (numpixels > 0) {
    const size_t want = numpixels < FLAT_CHUNK ? numpixels : FLAT_CHUNK;
    const size_t got = fread_unlocked(chunk, 4, want, fp);
    for (size_t i = 0; i < got; i++, data += 3) decode_pixel(data, chunk + 4 * i);
    if (got < want) return rgbe_error(RGBE_ERROR_READ, nullptr);
    numpixels -= got;
  }
  return 0;
}

// Writes one component plane as run and literal packets.
int RGBE_WriteBytes_RLE(FILE *fp, const unsigned char *data, int numbytes) {
  int cur = 0;
  unsigned char buf[2];
  while (cur < numbytes) {
    // Search for the next run of at least MIN_RUN_LENGTH equal bytes.
    int beg_run = cur, run_count = 0, old_run_count = 0;
    while (run_count < MIN_RUN_LENGTH && beg_run < numbytes) {
      beg_run += run_count;
      old_run_count = run_count;
      run_count = 1;
      while (beg_run + run_count < numbytes && run_count < MAX_RUN &&
             data[beg_run] == data[beg_run + run_count])
        run_count++;
    }
    // A short run (2 or 3 bytes) that fills the whole stretch before the long
    // run becomes a run packet of its own.
    if (old_run_count > 1 && old_run_count == beg_run - cur) {
      buf[0] = (unsigned char)(128 + old_run_count);
      buf[1] = data[cur];
      if (fwrite(buf, 2, 1, fp) < 1) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
      cur = beg_run;
    }
    // Everything up to the long run goes out as literals.
    while (cur < beg_run) {
      int nonrun_count = beg_run - cur;
      if (nonrun_count > MAX_LITERAL) nonrun_count = MAX_LITERAL;
      buf[0] = (unsigned char)nonrun_count;
      if (fwrite(buf, 1, 1, fp) < 1) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
      if (fwrite(&data[cur], nonrun_count, 1, fp) < 1) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
      cur += nonrun_count;
    }
    if (run_count >= MIN_RUN_LENGTH) {
      buf[0] = (unsigned char)(128 + run_count);
      buf[1] = data[beg_run];
      if (fwrite(buf, 2, 1, fp) < 1) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
      cur += run_count;
    }
  }
  return 0;
}

// Fills one plane of `width` bytes from packets. Returns 0, or -1 after the
// message.
int read_plane(FILE *fp, unsigned char *ptr, unsigned char *end) {
  while (ptr < end) {
    const int count_byte = getc_unlocked(fp);
    if (count_byte == EOF) return rgbe_error(RGBE_ERROR_READ, nullptr);
    const int value = getc_unlocked(fp);
    if (value == EOF) return rgbe_error(RGBE_ERROR_READ, nullptr);
    int count = count_byte;
    const long room = end - ptr;
    if (count > 128) {
      count -= 128;
      if (count > room) return rgbe_error(RGBE_ERROR_FORMAT, "bad scanline data");
      memset(ptr, value, (size_t)count);
      ptr += count;
    } else {
      if (count == 0 || count > room) return rgbe_error(RGBE_ERROR_FORMAT, "bad scanline data");
      *ptr++ = (unsigned char)value;
      if (--count > 0) {
        if (fread_unlocked(ptr, (size_t)count, 1, fp) < 1) return rgbe_error(RGBE_ERROR_READ, nullptr);
        ptr += count;
      }
    }
  }
  return 0;
}

// Reads num_scanlines run-length-encoded scanlines of `width` pixels and
// hands every pixel's four bytes to put(pixel), in order. A scanline that
// does not start with a marker means that the picture is flat from there on
// and that its four bytes are the next pixel: flat(those bytes, the number
// of pixels after it) reads the rest. Returns 0, or -1 after the message.
template <class Put, class Flat>
int read_rle_scanlines(FILE *fp, size_t width, int num_scanlines, Put put, Flat flat) {
  unsigned char *scanline_buffer = nullptr;
  unsigned char rgbe[4];
  for (int k = num_scanlines; k > 0; k--) {
    if (fread_unlocked(rgbe, sizeof(rgbe), 1, fp) < 1) {
      free(scanline_buffer);
      return rgbe_error(RGBE_ERROR_READ, nullptr);
    }
    if (rgbe[0] != 2 || rgbe[1] != 2 || (rgbe[2] & 0x80)) {
      free(scanline_buffer);
      return flat(rgbe, width * (size_t)k - 1);
    }
    if ((size_t)((rgbe[2] << 8) | rgbe[3]) != width) {
      free(scanline_buffer);
      return rgbe_error(RGBE_ERROR_FORMAT, "wrong scanline width");
    }
    if (scanline_buffer == nullptr) {
      scanline_buffer = (unsigned char *)malloc(4 * width);
      if (scanline_buffer == nullptr) return rgbe_error(RGBE_ERROR_MEMORY, "unable to allocate buffer space");
    }
    for (int plane = 0; plane < 4; plane++) {
      unsigned char *ptr = &scanline_buffer[plane * width];
      if (read_plane(fp, ptr, ptr + width) != 0) {
        free(scanline_buffer);
        return -1;
      }
    }
    const unsigned char *r = scanline_buffer, *g = r + width, *b = g + width, *e = b + width;
    for (size_t i = 0; i < width; i++) {
      const unsigned char pixel[4] = {r[i], g[i], b[i], e[i]};
      put(pixel);
    }
  }
  free(scanline_buffer);
  return 0;
}

}  // namespace

const std::array<float, 256> RGBE_E = ExponentTable();

void RGBE_SetMessageStream(FILE *stream) { message_stream = stream; }

void float2rgbe(unsigned char rgbe[4], float red, float green, float blue) {
  float v = red;
  if (green > v) v = green;
  if (blue > v) v = blue;
  if (!((double)v >= 1e-32)) {  // below the cut-off (or NaN): no energy
    rgbe[0] = rgbe[1] = rgbe[2] = rgbe[3] = 0;
    return;
  }
  int e;
  double scale;
  if (v < 0x1p127f) {
    const double m = frexp(v, &e);
    scale = m * 256.0 / v;  // exactly 2^(8 - e)
  } else {
    // Out of the format's range: saturate at the largest exponent.
    e = 127;
    scale = ldexp(1.0, 8 - e);
  }
  rgbe[0] = scaled_byte(red * scale);
  rgbe[1] = scaled_byte(green * scale);
  rgbe[2] = scaled_byte(blue * scale);
  rgbe[3] = (unsigned char)(e + 128);
}

void rgbe2float(float *red, float *green, float *blue, const unsigned char rgbe[4]) {
  float out[3];
  decode_pixel(out, rgbe);
  *red = out[0];
  *green = out[1];
  *blue = out[2];
}

int RGBE_WriteHeader(FILE *fp, int width, int height, RGBE_PictureInfo *info) {
  const char *programtype = "RGBE";
  if (info && (info->flags & RGBE_HAS_PROGRAM)) programtype = info->program;
  if (fprintf(fp, "#?%s\n", programtype) < 0) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
  if (info && (info->flags & RGBE_HAS_GAMMA)) {
    if (fprintf(fp, "GAMMA=%g\n", (double)info->gamma) < 0) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
  }
  if (info && (info->flags & RGBE_HAS_EXPOSURE)) {
    if (fprintf(fp, "EXPOSURE=%g\n", (double)info->exposure) < 0)
      return rgbe_error(RGBE_ERROR_WRITE, nullptr);
  }
  if (fprintf(fp, "FORMAT=32-bit_rle_rgbe\n\n") < 0) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
  if (fprintf(fp, "-Y %d +X %d\n", height, width) < 0) return rgbe_error(RGBE_ERROR_WRITE, nullptr);
  return 0;
}

int RGBE_ReadHeader(FILE *fp, int *width, int *height, RGBE_PictureInfo *info) {
  char buf[HEADER_LINE];
  if (info) {
    info->exposure = 1.0f;
    info->flags = 0;
    info->program[0] = 0;
    info->gamma = 1.0f;
  }
  if (fgets(buf, sizeof(buf), fp) == nullptr) return rgbe_error(RGBE_ERROR_READ, nullptr);
  if (buf[0] != '#' || buf[1] != '?') return rgbe_error(RGBE_ERROR_FORMAT, "bad initial token");
  if (info) {
    info->flags |= RGBE_HAS_PROGRAM;
    size_t i = 0;
    for (; i < sizeof(info->program) - 1; i++) {
      const char c = buf[i + 2];
      if (c == 0 || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') break;
      info->program[i] = c;
    }
    info->program[i] = 0;
    if (fgets(buf, sizeof(buf), fp) == nullptr) return rgbe_error(RGBE_ERROR_READ, nullptr);
  }
  // Lines before the format line are skipped uninterpreted.
  for (;;) {
    if (buf[0] == 0 || buf[0] == '\n') return rgbe_error(RGBE_ERROR_FORMAT, "no FORMAT specifier found");
    if (strcmp(buf, FORMAT_LINE) == 0) break;
    if (fgets(buf, sizeof(buf), fp) == nullptr) return rgbe_error(RGBE_ERROR_READ, nullptr);
  }
  if (fgets(buf, sizeof(buf), fp) == nullptr) return rgbe_error(RGBE_ERROR_READ, nullptr);
  if (info) {
    if (sscanf(buf, "GAMMA=%f", &info->gamma) == 1) {
      info->flags |= RGBE_HAS_GAMMA;
      if (fgets(buf, sizeof(buf), fp) == nullptr) return rgbe_error(RGBE_ERROR_READ, nullptr);
    }
    if (sscanf(buf, "EXPOSURE=%f", &info->exposure) == 1) {
      info->flags |= RGBE_HAS_EXPOSURE;
      if (fgets(buf, sizeof(buf), fp) == nullptr) return rgbe_error(RGBE_ERROR_READ, nullptr);
    }
  }
  if (strcmp(buf, "\n") != 0)
    return rgbe_error(RGBE_ERROR_FORMAT, "missing blank line after FORMAT specifier");
  if (fgets(buf, sizeof(buf), fp) == nullptr) return rgbe_error(RGBE_ERROR_READ, nullptr);
  if (sscanf(buf, "-Y %d +X %d", height, width) < 2)
    return rgbe_error(RGBE_ERROR_FORMAT, "missing image size specifier");
  return 0;
}

int RGBE_WritePixels(FILE *fp, const float *data, int numpixels) {
  if (numpixels <= 0) return 0;
  return write_flat(fp, data, (size_t)numpixels);
}

int RGBE_ReadPixels(FILE *fp, float *data, int numpixels) {
  if (numpixels <= 0) return 0;
  return read_flat(fp, data, (size_t)numpixels);
}

int RGBE_WritePixels_RLE(FILE *fp, const float *data, int scanline_width, int num_scanlines) {
  if (scanline_width <= 0 || num_scanlines < 0) return 0;
  if (scanline_width < RLE_MIN_WIDTH || scanline_width > RLE_MAX_WIDTH)
    return write_flat(fp, data, (size_t)scanline_width * (size_t)num_scanlines);
  const size_t width = (size_t)scanline_width;
  unsigned char *buffer = (unsigned char *)malloc(4 * width);
  if (buffer == nullptr)  // no room for the planes: write the flat form, silently
    return write_flat(fp, data, width * (size_t)num_scanlines);
  unsigned char rgbe[4];
  for (int line = 0; line < num_scanlines; line++) {
    rgbe[0] = 2;
    rgbe[1] = 2;
    rgbe[2] = (unsigned char)(scanline_width >> 8);
    rgbe[3] = (unsigned char)(scanline_width & 0xff);
    if (fwrite(rgbe, sizeof(rgbe), 1, fp) < 1) {
      free(buffer);
      return rgbe_error(RGBE_ERROR_WRITE, nullptr);
    }
    for (size_t i = 0; i < width; i++, data += 3) {
      float2rgbe(rgbe, data[0], data[1], data[2]);
      buffer[i] = rgbe[0];
      buffer[i + width] = rgbe[1];
      buffer[i + 2 * width] = rgbe[2];
      buffer[i + 3 * width] = rgbe[3];
    }
    for (int plane = 0; plane < 4; plane++) {
      const int err = RGBE_WriteBytes_RLE(fp, &buffer[plane * width], scanline_width);
      if (err) {
        free(buffer);
        return err;
      }
    }
  }
  free(buffer);
  return 0;
}

int RGBE_ReadPixels_RLE(FILE *fp, float *data, int scanline_width, int num_scanlines) {
  if (scanline_width <= 0 || num_scanlines <= 0) return 0;
  if (scanline_width < RLE_MIN_WIDTH || scanline_width > RLE_MAX_WIDTH)
    return read_flat(fp, data, (size_t)scanline_width * (size_t)num_scanlines);
  return read_rle_scanlines(
      fp, (size_t)scanline_width, num_scanlines,
      [&](const unsigned char pixel[4]) {
        decode_pixel(data, pixel);
        data += 3;
      },
      [&](const unsigned char first[4], size_t rest) {
        decode_pixel(data, first);
        return read_flat(fp, data + 3, rest);
      });
}

int RGBE_ReadRawPixels_RLE(FILE *fp, unsigned char *data, int scanline_width, int num_scanlines) {
  if (scanline_width <= 0 || num_scanlines <= 0) return 0;
  if (scanline_width < RLE_MIN_WIDTH || scanline_width > RLE_MAX_WIDTH)
    return read_flat_raw(fp, data, (size_t)scanline_width * (size_t)num_scanlines);
  return read_rle_scanlines(
      fp, (size_t)scanline_width, num_scanlines,
      [&](const unsigned char pixel[4]) {
        memcpy(data, pixel, 4);
        data += 4;
      },
      [&](const unsigned char first[4], size_t rest) {
        memcpy(data, first, 4);
        return read_flat_raw(fp, data + 4, rest);
      });
}
