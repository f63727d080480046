// Reading one OpenEXR picture for the builder through the OpenEXR library.
// The headers come first, through the library's core interface, which
// reads them without allocating anything for the pixels: which part and
// which view to take, and the display window, which is the picture's size.
// Then the pixels, through its C++ interface, in bands of rows: as halves
// when R, G and B are all halves, as floats otherwise (the library converts
// float and uint channels), black where the data window leaves the display
// window uncovered.
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputPart.h>
#include <ImfMultiPartInputFile.h>
#include <ImfRgbaFile.h>
#include <openexr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "builder.h"

namespace {

// The largest data window side read. Larger windows are refused before the
// library allocates its line and offset tables for them; a picture's own
// side is at most 32767.
constexpr int MAX_DATA_SIDE = 1 << 16;
// The largest tile side the library accepts.
constexpr int MAX_TILE_SIDE = 1 << 12;
// Bytes of decoded values read and converted at a time (counted as floats).
constexpr size_t BAND_BYTES = 512 * 1024;

enum ColourChannels {
  CHANNELS_NONE,
  CHANNELS_RGB,  // R, G and B at full resolution (A is ignored)
  CHANNELS_Y,    // luminance only: R = G = B = Y, as the library's RGBA interface gives it
  CHANNELS_YC,   // luminance and chroma: through the library's RGBA interface
};

// The picture chosen in a file.
struct Choice {
  int part;
  std::string prefix;  // what the view puts before the channel names: "" or "right."
  ColourChannels channels;
  bool halves;  // R, G and B are half floats: read as they are, converted here
  exr_attr_box2i_t display, data;
};

// The first message of the core interface while this thread reads headers.
thread_local std::string core_message;

void NoteCoreMessage(exr_const_context_t, exr_result_t code, const char *message) {
  if (core_message.empty()) core_message = message ? message : exr_get_default_error_message(code);
}

const char *CoreMessage() { return core_message.empty() ? "the headers cannot be read" : core_message.c_str(); }

// The core interface reads the open file through its descriptor.
int64_t ReadCoreBytes(exr_const_context_t, void *userdata, void *buffer, uint64_t size, uint64_t offset,
                      exr_stream_error_func_ptr_t) {
  const int fd = *(const int *)userdata;
  uint64_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, (char *)buffer + done, size - done, (off_t)(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += (uint64_t)got;
  }
  return (int64_t)done;
}

int64_t CoreFileSize(exr_const_context_t, void *userdata) {
  struct stat st;
  if (fstat(*(const int *)userdata, &st) != 0) return -1;
  return (int64_t)st.st_size;
}

// The headers of an open file, for as long as this lives.
struct Headers {
  exr_context_t context = nullptr;
  int fd = -1;
  ~Headers() {
    if (context) exr_finish(&context);
  }
};

bool ReadHeaders(FILE *file, const char *name, Headers *headers) {
  headers->fd = fileno(file);
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.error_handler_fn = NoteCoreMessage;
  init.read_fn = ReadCoreBytes;
  init.size_fn = CoreFileSize;
  init.user_data = &headers->fd;
  core_message.clear();
  // The core interface reads on past some broken attributes (one whose
  // size runs past the end of the file, for one) after saying so; the C++
  // interface would then allocate what such a size claims. A header the
  // core complained about is refused.
  return exr_start_read(&headers->context, name, &init) == EXR_ERR_SUCCESS && core_message.empty();
}

const exr_attr_chlist_entry_t *FindChannel(const exr_attr_chlist_t *list, const std::string &name) {
  for (int i = 0; i < list->num_channels; i++) {
    const exr_attr_chlist_entry_t &entry = list->entries[i];
    if ((size_t)entry.name.length == name.size() && memcmp(entry.name.str, name.data(), name.size()) == 0)
      return &entry;
  }
  return nullptr;
}

bool FullResolution(const exr_attr_chlist_entry_t *channel) {
  return channel && channel->x_sampling == 1 && channel->y_sampling == 1;
}

// What a part offers under a view's prefix; deep parts offer nothing.
// `halves` tells whether R, G and B are all half floats.
ColourChannels ChannelsOf(exr_const_context_t context, int part, const std::string &prefix, bool *halves = nullptr) {
  exr_storage_t storage;
  const exr_attr_chlist_t *list;
  if (exr_get_storage(context, part, &storage) != EXR_ERR_SUCCESS ||
      (storage != EXR_STORAGE_SCANLINE && storage != EXR_STORAGE_TILED) ||
      exr_get_channels(context, part, &list) != EXR_ERR_SUCCESS || list == nullptr)
    return CHANNELS_NONE;
  const exr_attr_chlist_entry_t *r = FindChannel(list, prefix + "R"), *g = FindChannel(list, prefix + "G"),
                                *b = FindChannel(list, prefix + "B");
  if (FullResolution(r) && FullResolution(g) && FullResolution(b)) {
    if (halves)
      *halves = r->pixel_type == EXR_PIXEL_HALF && g->pixel_type == EXR_PIXEL_HALF && b->pixel_type == EXR_PIXEL_HALF;
    return CHANNELS_RGB;
  }
  if (FullResolution(FindChannel(list, prefix + "Y")))
    return FindChannel(list, prefix + "RY") && FindChannel(list, prefix + "BY") ? CHANNELS_YC : CHANNELS_Y;
  return CHANNELS_NONE;
}

bool TextAttribute(exr_const_context_t context, int part, const char *name, std::string *text) {
  const exr_attribute_t *attribute;
  if (exr_get_attribute_by_name(context, part, name, &attribute) != EXR_ERR_SUCCESS ||
      attribute->type != EXR_ATTR_STRING || attribute->string == nullptr)
    return false;
  text->assign(attribute->string->str, (size_t)attribute->string->length);
  return true;
}

std::vector<std::string> TextsAttribute(exr_const_context_t context, int part, const char *name) {
  std::vector<std::string> texts;
  const exr_attribute_t *attribute;
  if (exr_get_attribute_by_name(context, part, name, &attribute) != EXR_ERR_SUCCESS ||
      attribute->type != EXR_ATTR_STRING_VECTOR || attribute->stringvector == nullptr)
    return texts;
  for (int i = 0; i < attribute->stringvector->n_strings; i++) {
    const exr_attr_string_t &s = attribute->stringvector->strings[i];
    texts.emplace_back(s.str, (size_t)s.length);
  }
  return texts;
}

int PartCount(exr_const_context_t context) {
  int count = 0;
  if (exr_get_count(context, &count) != EXR_ERR_SUCCESS) return 0;
  return count;
}

// The file's own picture: the first part with R, G and B, or Y.
bool ChooseDefault(exr_const_context_t context, Choice *choice) {
  for (int part = 0; part < PartCount(context); part++) {
    const ColourChannels channels = ChannelsOf(context, part, "", &choice->halves);
    if (channels != CHANNELS_NONE) {
      choice->part = part;
      choice->prefix.clear();
      choice->channels = channels;
      return true;
    }
  }
  return false;
}

// A view: the first part whose "view" attribute names it, or a view of the
// first part's "multiView" list, whose first view is the default one (its
// channels have no prefix) and whose others put "view." before theirs.
bool ChooseView(exr_const_context_t context, const std::string &view, Choice *choice) {
  for (int part = 0; part < PartCount(context); part++) {
    std::string name;
    if (!TextAttribute(context, part, "view", &name) || name != view) continue;
    const ColourChannels channels = ChannelsOf(context, part, "", &choice->halves);
    if (channels != CHANNELS_NONE) {
      choice->part = part;
      choice->prefix.clear();
      choice->channels = channels;
      return true;
    }
  }
  const std::vector<std::string> views = TextsAttribute(context, 0, "multiView");
  if (std::find(views.begin(), views.end(), view) == views.end()) return false;
  const std::string prefix = view == views[0] ? "" : view + ".";
  const ColourChannels channels = ChannelsOf(context, 0, prefix, &choice->halves);
  if (channels == CHANNELS_NONE) return false;
  choice->part = 0;
  choice->prefix = prefix;
  choice->channels = channels;
  return true;
}

bool IsStereo(exr_const_context_t context) {
  Choice left, right;
  return ChooseView(context, "left", &left) && ChooseView(context, "right", &right);
}

// The library's own limits, set once: the sizes its sanity check refuses.
void SetLibraryLimits() {
  static const bool set = [] {
    Imf::Header::setMaxImageSize(MAX_DATA_SIDE, MAX_DATA_SIDE);
    Imf::Header::setMaxTileSize(MAX_TILE_SIDE, MAX_TILE_SIDE);
    return true;
  }();
  (void)set;
}

int64_t Side(int32_t min, int32_t max) { return (int64_t)max - (int64_t)min + 1; }

// The rows of a picture, band by band: which display rows the band holds,
// and where in the band's floats the data window's pixels go.
struct Band {
  int64_t left;  // the band's first column: the smaller of the two windows' left edges
  size_t width;  // columns from `left` to the larger of the two right edges
  size_t rows;   // rows a band holds
  bool covered;  // the data window covers the display window: nothing to clear
  bool read;     // the windows overlap: there are pixels to read
};

Band PlanBand(const Choice &choice, size_t bytes_per_pixel) {
  Band band;
  const exr_attr_box2i_t &d = choice.display, &w = choice.data;
  band.read = w.min.x <= d.max.x && w.max.x >= d.min.x && w.min.y <= d.max.y && w.max.y >= d.min.y;
  band.covered = w.min.x <= d.min.x && w.max.x >= d.max.x && w.min.y <= d.min.y && w.max.y >= d.max.y;
  // Overlapping windows span at most the two widths together; data that
  // lies wholly elsewhere is never read, whatever the distance.
  band.left = band.read ? std::min<int64_t>(d.min.x, w.min.x) : d.min.x;
  const int64_t right = band.read ? std::max<int64_t>(d.max.x, w.max.x) : d.max.x;
  band.width = (size_t)(right - band.left + 1);
  band.rows = std::max<size_t>(1, BAND_BYTES / (band.width * bytes_per_pixel));
  return band;
}

float HalfToFloat(const Imath::half &h) { return (float)h; }

// RGB parts: the three channels as floats, or as halves when all three are
// halves (converted exactly here, which costs less than the library's
// conversion).
void ReadRGB(const char *name, const Choice &choice, const Band &band, void *decoded, unsigned char *rgbe,
             RecordEncoder *record, OutOfRange *range) {
  Imf::MultiPartInputFile file(name, 0);
  Imf::InputPart part(file, choice.part);
  const exr_attr_box2i_t &d = choice.display, &w = choice.data;
  const size_t W = (size_t)Side(d.min.x, d.max.x);
  const size_t size = choice.halves ? sizeof(uint16_t) : sizeof(float), stride = 3 * size;
  unsigned char *values = (unsigned char *)decoded;
  for (int64_t y = d.min.y; y <= d.max.y; y += (int64_t)band.rows) {
    const int64_t n = std::min<int64_t>((int64_t)band.rows, (int64_t)d.max.y - y + 1);
    if (!band.covered) memset(values, 0, (size_t)n * band.width * stride);
    const int64_t first = std::max<int64_t>(y, w.min.y), last = std::min<int64_t>(y + n - 1, w.max.y);
    if (band.read && first <= last) {
      const Imath::V2i origin((int)band.left, (int)y);
      Imf::FrameBuffer frame;
      const char *channels[3] = {"R", "G", "B"};
      for (int c = 0; c < 3; c++)
        frame.insert(choice.prefix + channels[c],
                     Imf::Slice::Make(choice.halves ? Imf::HALF : Imf::FLOAT, values + c * size, origin,
                                      (int64_t)band.width, n, stride, stride * band.width));
      part.setFrameBuffer(frame);
      part.readPixels((int)first, (int)last);
    }
    const size_t skip = (size_t)((int64_t)d.min.x - band.left);
    for (int64_t k = 0; k < n; k++) {
      const unsigned char *row = values + stride * ((size_t)k * band.width + skip);
      if (choice.halves)
        ConvertHalves((const uint16_t *)row, W, rgbe + 4 * W * (size_t)k, range);
      else
        ConvertFloats((const float *)row, 3, W, rgbe + 4 * W * (size_t)k, range);
    }
    EncodeRows(record, rgbe, (int)n);
  }
}

// Luminance-only parts: Y as the RGBA interface reads it, a half, for all
// three components.
void ReadY(const char *name, const Choice &choice, const Band &band, Imath::half *halves, float *greys,
           unsigned char *rgbe, RecordEncoder *record, OutOfRange *range) {
  Imf::MultiPartInputFile file(name, 0);
  Imf::InputPart part(file, choice.part);
  const exr_attr_box2i_t &d = choice.display, &w = choice.data;
  const size_t W = (size_t)Side(d.min.x, d.max.x);
  for (int64_t y = d.min.y; y <= d.max.y; y += (int64_t)band.rows) {
    const int64_t n = std::min<int64_t>((int64_t)band.rows, (int64_t)d.max.y - y + 1);
    if (!band.covered) memset((void *)halves, 0, (size_t)n * band.width * sizeof(Imath::half));
    const int64_t first = std::max<int64_t>(y, w.min.y), last = std::min<int64_t>(y + n - 1, w.max.y);
    if (band.read && first <= last) {
      Imf::FrameBuffer frame;
      frame.insert(choice.prefix + "Y",
                   Imf::Slice::Make(Imf::HALF, halves, Imath::V2i((int)band.left, (int)y), (int64_t)band.width, n,
                                    sizeof(Imath::half), sizeof(Imath::half) * band.width));
      part.setFrameBuffer(frame);
      part.readPixels((int)first, (int)last);
    }
    const size_t skip = (size_t)((int64_t)d.min.x - band.left);
    for (int64_t k = 0; k < n; k++) {
      const Imath::half *row = halves + (size_t)k * band.width + skip;
      for (size_t x = 0; x < W; x++) greys[x] = HalfToFloat(row[x]);
      ConvertGreys(greys, W, rgbe + 4 * W * (size_t)k, range);
    }
    EncodeRows(record, rgbe, (int)n);
  }
}

// Luminance-chroma pictures, through the RGBA interface (which reads the
// first part).
void ReadYC(const char *name, const Choice &choice, const Band &band, Imf::Rgba *pixels, float *floats,
            unsigned char *rgbe, RecordEncoder *record, OutOfRange *range) {
  std::string layer = choice.prefix;
  if (!layer.empty()) layer.pop_back();  // "right." names the layer "right"
  Imf::RgbaInputFile file(name, layer, 0);
  const exr_attr_box2i_t &d = choice.display, &w = choice.data;
  const size_t W = (size_t)Side(d.min.x, d.max.x);
  for (int64_t y = d.min.y; y <= d.max.y; y += (int64_t)band.rows) {
    const int64_t n = std::min<int64_t>((int64_t)band.rows, (int64_t)d.max.y - y + 1);
    if (!band.covered) memset((void *)pixels, 0, (size_t)n * band.width * sizeof(Imf::Rgba));
    const int64_t first = std::max<int64_t>(y, w.min.y), last = std::min<int64_t>(y + n - 1, w.max.y);
    if (band.read && first <= last) {
      // The base address puts the pixel (left, y) at the band's start.
      const uintptr_t base = (uintptr_t)pixels - (uintptr_t)((band.left + y * (int64_t)band.width) *
                                                             (int64_t)sizeof(Imf::Rgba));
      file.setFrameBuffer((Imf::Rgba *)base, 1, band.width);
      file.readPixels((int)first, (int)last);
    }
    const size_t skip = (size_t)((int64_t)d.min.x - band.left);
    for (int64_t k = 0; k < n; k++) {
      const Imf::Rgba *row = pixels + (size_t)k * band.width + skip;
      for (size_t x = 0; x < W; x++) {
        floats[3 * x] = HalfToFloat(row[x].r);
        floats[3 * x + 1] = HalfToFloat(row[x].g);
        floats[3 * x + 2] = HalfToFloat(row[x].b);
      }
      ConvertFloats(floats, 3, W, rgbe + 4 * W * (size_t)k, range);
    }
    EncodeRows(record, rgbe, (int)n);
  }
}

}  // namespace

bool HoldsStereoPair(FILE *file, const char *name) {
  Headers headers;
  return ReadHeaders(file, name, &headers) && IsStereo(headers.context);
}

PictureStatus ReadOpenEXRPicture(FILE *file, const char *name, PictureView view, PictureSize size, Workspace *work,
                                 RecordEncoder *record, OutOfRange *range, FILE *messages) {
  SetLibraryLimits();
  Choice choice;
  choice.halves = false;
  {
    Headers headers;
    if (!ReadHeaders(file, name, &headers)) {
      fprintf(messages, "OpenEXR error: %s\n", CoreMessage());
      return PICTURE_FAILED;
    }
    const exr_const_context_t context = headers.context;
    bool chosen;
    if (view == VIEW_RIGHT)
      chosen = ChooseView(context, "right", &choice);
    else if (view == VIEW_LEFT && IsStereo(context))
      chosen = ChooseView(context, "left", &choice);
    else
      chosen = ChooseDefault(context, &choice);
    if (!chosen) {
      fprintf(messages, "OpenEXR picture without R, G and B or Y channels\n");
      return PICTURE_FAILED;
    }
    if (exr_get_display_window(context, choice.part, &choice.display) != EXR_ERR_SUCCESS ||
        exr_get_data_window(context, choice.part, &choice.data) != EXR_ERR_SUCCESS) {
      fprintf(messages, "OpenEXR error: %s\n", CoreMessage());
      return PICTURE_FAILED;
    }
  }
  const exr_attr_box2i_t &d = choice.display, &w = choice.data;
  if (Side(d.min.x, d.max.x) != size.width || Side(d.min.y, d.max.y) != size.height) {
    fprintf(messages, "The images have a different sixe than requested \n");
    return PICTURE_WRONG_SIZE;
  }
  if (Side(w.min.x, w.max.x) > MAX_DATA_SIDE || Side(w.min.y, w.max.y) > MAX_DATA_SIDE) {
    fprintf(messages, "OpenEXR data window of %lld x %lld pixels: halvpack reads at most %d a side\n",
            (long long)Side(w.min.x, w.max.x), (long long)Side(w.min.y, w.max.y), MAX_DATA_SIDE);
    return PICTURE_FAILED;
  }
  if (choice.channels == CHANNELS_YC && choice.part != 0) {
    fprintf(messages, "OpenEXR luminance-chroma pictures are read from a file's first part only\n");
    return PICTURE_FAILED;
  }

  // Room for a band of decoded values (halves or RGBA halves first when the
  // library delivers those) and of floats, and for its RGBE pixels.
  const size_t W = (size_t)size.width;
  const size_t decoded = choice.channels == CHANNELS_Y ? sizeof(Imath::half)
                         : choice.channels == CHANNELS_YC ? sizeof(Imf::Rgba) : 0;
  const Band band = PlanBand(choice, decoded + 3 * sizeof(float));
  const size_t decoded_bytes = (band.rows * band.width * decoded + 15) / 16 * 16;
  unsigned char *room = Reserve(&work->band, decoded_bytes + band.rows * band.width * 3 * sizeof(float));
  unsigned char *rgbe = room ? Reserve(&work->band_rgbe, band.rows * W * 4) : nullptr;
  if (rgbe == nullptr) {
    fprintf(messages, "Could not allocate memory for scene \n");
    return PICTURE_NO_MEMORY;
  }
  float *floats = (float *)(room + decoded_bytes);
  try {
    switch (choice.channels) {
      case CHANNELS_RGB:
        ReadRGB(name, choice, band, floats, rgbe, record, range);
        break;
      case CHANNELS_Y:
        ReadY(name, choice, band, (Imath::half *)room, floats, rgbe, record, range);
        break;
      case CHANNELS_YC:
        ReadYC(name, choice, band, (Imf::Rgba *)room, floats, rgbe, record, range);
        break;
      case CHANNELS_NONE:
        return PICTURE_FAILED;
    }
  } catch (const std::exception &e) {
    fprintf(messages, "OpenEXR error: %s\n", e.what());
    return PICTURE_FAILED;
  }
  return PICTURE_READ;
}
