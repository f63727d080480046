// A picture of the stream, its bytes already read, encoded into its record
// on any worker: PFM signals in bands from the top row down as from a file,
// 16-bit PPM signals as values from 0 to 1, RGBE pixels as they are.
#include <cstring>

#include "builder.h"

namespace {

// Bytes of floats converted at a time.
constexpr size_t BAND_BYTES = 256 * 1024;

size_t BandRows(size_t row_bytes, size_t height) {
  size_t rows = BAND_BYTES / row_bytes;
  if (rows < 1) rows = 1;
  return rows < height ? rows : height;
}

// The PFM floats are converted where they lie: the picture's rows top ..
// top + n - 1 are the stream's rows H - 1 - top down to H - top - n.
PictureStatus ConvertPFM(StreamPicture *picture, const PictureSignal &signal, Workspace *work, RecordEncoder *record,
                         OutOfRange *range, FILE *messages) {
  const PFMHeader &pfm = picture->pfm;
  const size_t W = (size_t)pfm.width, H = (size_t)pfm.height;
  const size_t row_bytes = 4 * W * (size_t)pfm.channels, rows = BandRows(row_bytes, H);
  unsigned char *rgbe = Reserve(&work->band_rgbe, rows * W * 4);
  if (rgbe == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return PICTURE_NO_MEMORY;
  }
  for (size_t top = 0; top < H; top += rows) {
    const size_t n = rows < H - top ? rows : H - top;
    float *band = reinterpret_cast<float *>(picture->bytes.data.get() + row_bytes * (H - top - n));
    ConvertPFMBand(pfm, signal, band, n, rgbe, range);
    EncodeRows(record, rgbe, (int)n);
  }
  return PICTURE_READ;
}

// 16-bit samples, most significant byte first, top row first: each the
// value sample / 65535.
PictureStatus ConvertPPM(const StreamPicture &picture, PictureSize size, const PictureSignal &signal,
                         Workspace *work, RecordEncoder *record, OutOfRange *range, FILE *messages) {
  const size_t W = (size_t)size.width, H = (size_t)size.height, rows = BandRows(12 * W, H);
  float *band = (float *)Reserve(&work->band, rows * 12 * W);
  unsigned char *rgbe = band ? Reserve(&work->band_rgbe, rows * W * 4) : nullptr;
  if (rgbe == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return PICTURE_NO_MEMORY;
  }
  const unsigned char *samples = picture.bytes.data.get();
  for (size_t top = 0; top < H; top += rows) {
    const size_t n = rows < H - top ? rows : H - top;
    PpmSamplesToFloats(samples, 3 * W * n, band);
    samples += 6 * W * n;
    if (signal.curve != SIGNAL_LINEAR) DecodeSignal(signal, band, W * n);
    ConvertFloats(band, 3, W * n, rgbe, range);
    EncodeRows(record, rgbe, (int)n);
  }
  return PICTURE_READ;
}

}  // namespace

void PpmSamplesToFloats(const unsigned char *samples, size_t count, float *values) {
  for (size_t i = 0; i < count; i++, samples += 2) values[i] = (float)((unsigned)samples[0] << 8 | samples[1]) / 65535.0f;
}

PictureStatus ConvertStreamPicture(StreamPicture *picture, PictureSize size, const PictureSignal &signal,
                                   Workspace *work, RecordEncoder *record, OutOfRange *range, FILE *messages) {
  switch (picture->kind) {
    case STREAM_PFM:
      return ConvertPFM(picture, signal, work, record, range, messages);
    case STREAM_PPM16:
      return ConvertPPM(*picture, size, signal, work, record, range, messages);
    case STREAM_RGBE:
      EncodeRows(record, picture->bytes.data.get(), size.height);
      return PICTURE_READ;
    case STREAM_NONE:
      break;
  }
  return PICTURE_FAILED;
}
