// A picture's scene statistics (maximum and log-average luminance) and its
// encoding for the movie, in one pass over its RGBE pixels.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "builder.h"
#include "encode_pixel.h"
#include "rgbe.h"

// What the statistics and the encoding need of one stored RGBE pixel: its
// colour as the RGBE reader decodes it (the 1e-6 floor included), that
// colour's luminance and logarithm, and the colour encoded again.
struct Colour {
  uint32_t key;  // the stored pixel's four bytes
  unsigned char rgbe[4];
  double lum;  // 0.2126 R + 0.7152 G + 0.0722 B of the decoded colour
  double log;  // log(lum + 0.000023)
};

namespace {

void Describe(Colour &c, uint32_t key) {
  unsigned char stored[4];
  memcpy(stored, &key, sizeof(stored));
  float f[3];
  rgbe2float(&f[0], &f[1], &f[2], stored);
  c.key = key;
  c.lum = 0.2126 * (double)f[0] + 0.7152 * (double)f[1] + 0.0722 * (double)f[2];
  c.log = log(c.lum + 0.000023);
  uint32_t bits[3];
  memcpy(bits, f, sizeof(bits));
  EncodePixel(c.rgbe, bits);
}

constexpr int COLOUR_BITS = 13;

}  // namespace

// Pixels seen before, by a hash of their bytes. A picture holds few distinct
// pixels as a rule (the RGBE quantisation makes neighbouring shades equal),
// so most pixels find theirs here instead of computing a logarithm and an
// encoding again. Every slot always holds a pixel with its true values (at
// first black, all bytes 0), so a slot whose key matches is right whatever
// picture or thread put it there. 8192 slots of 24 bytes.
struct ColourTable {
  Colour slots[1 << COLOUR_BITS];
  Colour fresh;  // the pixel last described without the table
};

namespace {

// Statistics and encoding of one row of pixels, in order, with the table:
// every pixel looks its values up (equal neighbours find the same slot at
// once), so that no branch depends on whether a pixel repeats the one
// before. Only a slot that holds another pixel is described again. Returns
// the number of pixels described.
size_t ConvertRowWithTable(ColourTable *table, const unsigned char *p, unsigned char *out, size_t width,
                           const Colour *&last, double &sum, double &maxLum) {
  size_t computed = 0;
  double top = maxLum, total = sum;
  const Colour *slot = last;
  for (size_t x = 0; x < width; x++, p += 4, out += 4) {
    uint32_t key;
    memcpy(&key, p, sizeof(key));
    Colour &c = table->slots[(key * 0x9E3779B1u) >> (32 - COLOUR_BITS)];
    if (__builtin_expect(key != c.key, 0)) {
      Describe(c, key);
      computed++;
    }
    slot = &c;
    top = c.lum > top ? c.lum : top;
    total += c.log;
    memcpy(out, c.rgbe, 4);
  }
  last = slot;
  maxLum = top;
  sum = total;
  return computed;
}

// The same without the table, for rows of noise: a run of equal pixels
// takes its values from the first of the run; every other pixel is
// described.
void ConvertRowWithoutTable(ColourTable *table, const unsigned char *p, unsigned char *out, size_t width,
                            const Colour *&last, double &sum, double &maxLum) {
  double top = maxLum;
  for (size_t x = 0; x < width; x++, p += 4, out += 4) {
    uint32_t key;
    memcpy(&key, p, sizeof(key));
    if (key != last->key) {
      Describe(table->fresh, key);
      last = &table->fresh;
    }
    if (last->lum > top) top = last->lum;
    sum += last->log;
    memcpy(out, last->rgbe, 4);
  }
  maxLum = top;
}

}  // namespace

void ColourTableDeleter::operator()(ColourTable *table) const { delete table; }

ColourTablePtr CreateColourTable() {
  ColourTablePtr table(new ColourTable);
  Describe(table->slots[0], 0);
  for (Colour &c : table->slots) c = table->slots[0];
  table->fresh = table->slots[0];
  return table;
}

void StartRecord(RecordEncoder *record, ColourTable *table, int width, int height, unsigned char *pixels) {
  record->table = table;
  record->pixels = pixels;
  record->width = (size_t)width;
  record->height = height;
  record->row = 0;
  record->last = &table->slots[0];
  record->top = 0.0;
  record->sum = 0.0;
  record->usetable = true;
}

void EncodeRows(RecordEncoder *record, const unsigned char *rgbe, int rows) {
  // Rows of noise find few pixels in the table: after a row where most
  // pixels had to be described anyway, the rows go without the table, but
  // every eighth row still tries it. The encoded rows go straight to their
  // places in the movie's order, the picture's first row last.
  const size_t W = record->width;
  for (int k = 0; k < rows && record->row < record->height; k++, record->row++) {
    const unsigned char *p = rgbe + 4 * W * (size_t)k;
    unsigned char *out = record->pixels + 4 * W * (size_t)(record->height - 1 - record->row);
    if (record->usetable || record->row % 8 == 0)
      record->usetable =
          4 * ConvertRowWithTable(record->table, p, out, W, record->last, record->sum, record->top) < 3 * W;
    else
      ConvertRowWithoutTable(record->table, p, out, W, record->last, record->sum, record->top);
  }
}

void FinishRecord(const RecordEncoder *record, double *maxLum, double *logAv) {
  *maxLum = record->top;
  *logAv = exp(record->sum / (double)(record->width * (size_t)record->height));
}
