// Reading one PFM picture for the builder: the three header words, the size
// check and a check of the header against the file's length before any
// allocation, then the floats. The file holds the rows bottom first; they
// are read in bands from the top row down, so that the statistics run over
// the pixels in the same order as for a Radiance picture of the same scene.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "builder.h"

namespace {

// Bytes of floats read and converted at a time.
constexpr size_t BAND_BYTES = 256 * 1024;
// The longest header word read: digits of a size, or a scale.
constexpr size_t WORD_LIMIT = 64;

bool IsSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Skips white space, then reads a word of at most WORD_LIMIT characters that
// one white-space character ends; that character is read too. False when
// the stream ends first, the word is longer, or it holds a NUL byte (which
// would end it early for the number parsers).
bool ReadWord(FILE *file, char word[WORD_LIMIT + 1]) {
  int c;
  do c = getc(file);
  while (IsSpace(c));
  size_t n = 0;
  while (c != EOF && !IsSpace(c)) {
    if (n == WORD_LIMIT || c == 0) return false;
    word[n++] = (char)c;
    c = getc(file);
  }
  word[n] = 0;
  return n > 0 && c != EOF;
}

// A size: decimal digits only, at most INT32_MAX.
bool ParseSide(const char *word, int *side) {
  int64_t value = 0;
  for (const char *p = word; *p; p++) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX) return false;
  }
  *side = (int)value;
  return true;
}

bool HostIsLittleEndian() {
  const uint32_t one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  return first == 1;
}

}  // namespace

int ReadPFMHeader(FILE *file, PFMHeader *pfm, FILE *messages) {
  char word[WORD_LIMIT + 1];
  const int p = getc(file), f = getc(file);
  if (p != 'P' || (f != 'F' && f != 'f')) {
    fprintf(messages, "PFM bad file format: bad initial token\n");
    return -1;
  }
  pfm->channels = f == 'F' ? 3 : 1;
  const int after = getc(file);
  if (!IsSpace(after)) {
    fprintf(messages, "PFM bad file format: bad initial token\n");
    return -1;
  }
  if (!ReadWord(file, word) || !ParseSide(word, &pfm->width) || !ReadWord(file, word) ||
      !ParseSide(word, &pfm->height)) {
    fprintf(messages, "PFM bad file format: bad image size\n");
    return -1;
  }
  // The scale: a finite number other than zero, whose sign gives the byte
  // order and whose size multiplies every value.
  char *end = word;
  const bool read = ReadWord(file, word);
  const float scale = read ? strtof(word, &end) : 0.0f;
  if (!read || *end != 0 || end == word || !std::isfinite(scale) || scale == 0.0f) {
    fprintf(messages, "PFM bad file format: bad scale\n");
    return -1;
  }
  pfm->scale = scale;
  pfm->little_endian = scale < 0.0f;
  // A pipe has no positions: its floats simply follow.
  const off_t offset = ftello(file);
  if (offset < 0 && errno != ESPIPE) {
    fprintf(messages, "PFM read error: %m\n");
    return -1;
  }
  pfm->data_offset = offset < 0 ? 0 : (uint64_t)offset;
  return 0;
}

void ConvertPFMBand(const PFMHeader &pfm, const PictureSignal &signal, float *band, size_t n, unsigned char *rgbe,
                    OutOfRange *range) {
  const size_t W = (size_t)pfm.width, row_floats = W * (size_t)pfm.channels;
  const bool swap = pfm.little_endian != HostIsLittleEndian();
  const float scale = std::fabs(pfm.scale);
  if (swap || scale != 1.0f) {
    for (size_t i = 0; i < n * row_floats; i++) {
      if (swap) {
        uint32_t bits;
        memcpy(&bits, &band[i], 4);
        bits = __builtin_bswap32(bits);
        memcpy(&band[i], &bits, 4);
      }
      if (scale != 1.0f) band[i] *= scale;
    }
  }
  for (size_t k = 0; k < n; k++) {
    float *row = band + row_floats * (n - 1 - k);
    if (pfm.channels == 3) {
      if (signal.curve != SIGNAL_LINEAR) DecodeSignal(signal, row, W);
      ConvertFloats(row, 3, W, rgbe + 4 * W * k, range);
    } else {
      // A grey signal decodes to a grey: white is white in both primaries.
      for (size_t x = 0; x < W && signal.curve != SIGNAL_LINEAR; x++) {
        float grey[3] = {row[x], row[x], row[x]};
        DecodeSignal(signal, grey, 1);
        row[x] = grey[1];
      }
      ConvertGreys(row, W, rgbe + 4 * W * k, range);
    }
  }
}

PictureStatus ReadPFMPicture(FILE *file, PictureSize size, Workspace *work, RecordEncoder *record, OutOfRange *range,
                             FILE *messages, const PictureSignal &signal) {
  PFMHeader pfm;
  if (ReadPFMHeader(file, &pfm, messages) != 0) return PICTURE_FAILED;
  if (pfm.width != size.width || pfm.height != size.height) {
    fprintf(messages, "The images have a different sixe than requested \n");
    return PICTURE_WRONG_SIZE;
  }
  // The movie's size, so these products are small.
  const size_t W = (size_t)pfm.width, H = (size_t)pfm.height;
  const size_t row_floats = W * (size_t)pfm.channels, row_bytes = 4 * row_floats;
  const uint64_t needed = (uint64_t)row_bytes * H;
  if (fseeko(file, 0, SEEK_END) != 0) {
    fprintf(messages, "PFM read error: %m\n");
    return PICTURE_FAILED;
  }
  const off_t length = ftello(file);
  const uint64_t held = length < 0 || (uint64_t)length < pfm.data_offset ? 0 : (uint64_t)length - pfm.data_offset;
  if (held < needed) {
    fprintf(messages, "PFM bad file format: %d x %d pixels need %" PRIu64 " bytes, the file holds %" PRIu64 "\n",
            pfm.width, pfm.height, needed, held);
    return PICTURE_FAILED;
  }

  size_t rows = BAND_BYTES / row_bytes;
  if (rows < 1) rows = 1;
  if (rows > H) rows = H;
  float *band = (float *)Reserve(&work->band, rows * row_bytes);
  unsigned char *rgbe = band ? Reserve(&work->band_rgbe, rows * W * 4) : nullptr;
  if (rgbe == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return PICTURE_NO_MEMORY;
  }
  for (size_t top = 0; top < H; top += rows) {
    const size_t n = rows < H - top ? rows : H - top;
    // The picture's rows top .. top + n - 1 are the file's rows H - 1 - top
    // down to H - top - n, which lie together in the file.
    const uint64_t at = pfm.data_offset + (uint64_t)row_bytes * (H - top - n);
    if (fseeko(file, (off_t)at, SEEK_SET) != 0 || fread(band, row_bytes, n, file) != n) {
      if (ferror(file))
        fprintf(messages, "PFM read error: %m\n");
      else
        fprintf(messages, "PFM read error: the file ended early\n");
      return PICTURE_FAILED;
    }
    ConvertPFMBand(pfm, signal, band, n, rgbe, range);
    EncodeRows(record, rgbe, (int)n);
  }
  return PICTURE_READ;
}
