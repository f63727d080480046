// Test helper: writes the OpenEXR files that oiiotool cannot make (stereo
// views, parts without colour channels, uint channels, luminance-chroma),
// and reads a file through the library's RGBA interface, all with the
// OpenEXR library's own API and none of halvpack's code.
//
//   exr_tool views FILE W H half|float multiview|parts LEFT.f32 RIGHT.f32
//   exr_tool parts FILE W H IN.f32    part 0 holds only Z, part 1 R, G, B (half)
//   exr_tool uint FILE W H IN.u32     R, G, B as uint channels
//   exr_tool yc FILE W H IN.f32       luminance and chroma (RGBA interface, WRITE_YC)
//   exr_tool rgba FILE OUT.f32        the display window through the RGBA interface
//
// Raw files hold W x H pixels, top row first, red, green and blue each a
// little-endian float32 (or uint32).
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfRgbaFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <ImfStringVectorAttribute.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

template <typename T>
std::vector<T> ReadRaw(const char *path, size_t count) {
  std::vector<T> data(count);
  FILE *fp = fopen(path, "rb");
  if (fp == nullptr || fread(data.data(), sizeof(T), count, fp) != count) {
    fprintf(stderr, "cannot read %zu values from %s\n", count, path);
    exit(2);
  }
  fclose(fp);
  return data;
}

// Slices for the channels prefix+R, G, B of an interleaved buffer.
void AddColour(Imf::FrameBuffer *frame, const std::string &prefix, Imf::PixelType type, char *base, size_t size,
               int width) {
  const char *names[3] = {"R", "G", "B"};
  for (int c = 0; c < 3; c++)
    frame->insert(prefix + names[c], Imf::Slice(type, base + c * size, 3 * size, 3 * size * (size_t)width));
}

std::vector<half> Halves(const std::vector<float> &floats) {
  std::vector<half> out(floats.size());
  for (size_t i = 0; i < floats.size(); i++) out[i] = half(floats[i]);
  return out;
}

void WriteViews(const char *path, int w, int h, bool as_half, bool parts, const char *left_path,
                const char *right_path) {
  const size_t n = 3 * (size_t)w * (size_t)h;
  std::vector<float> left = ReadRaw<float>(left_path, n), right = ReadRaw<float>(right_path, n);
  std::vector<half> left_h = Halves(left), right_h = Halves(right);
  const Imf::PixelType type = as_half ? Imf::HALF : Imf::FLOAT;
  const size_t size = as_half ? sizeof(half) : sizeof(float);
  char *bases[2] = {as_half ? (char *)left_h.data() : (char *)left.data(),
                    as_half ? (char *)right_h.data() : (char *)right.data()};
  if (!parts) {
    Imf::Header header(w, h);
    Imf::StringVector views = {"left", "right"};
    Imf::addMultiView(header, views);
    for (const char *c : {"R", "G", "B"}) {
      header.channels().insert(c, Imf::Channel(type));
      header.channels().insert(std::string("right.") + c, Imf::Channel(type));
    }
    Imf::OutputFile file(path, header);
    Imf::FrameBuffer frame;
    AddColour(&frame, "", type, bases[0], size, w);
    AddColour(&frame, "right.", type, bases[1], size, w);
    file.setFrameBuffer(frame);
    file.writePixels(h);
    return;
  }
  // Right first, so that the part order does not decide which eye is which.
  std::vector<Imf::Header> headers(2, Imf::Header(w, h));
  const char *view_names[2] = {"right", "left"};
  for (int p = 0; p < 2; p++) {
    headers[p].setName(view_names[p]);
    headers[p].setType(Imf::SCANLINEIMAGE);
    headers[p].insert("view", Imf::StringAttribute(view_names[p]));
    for (const char *c : {"R", "G", "B"}) headers[p].channels().insert(c, Imf::Channel(type));
  }
  Imf::MultiPartOutputFile file(path, headers.data(), 2);
  for (int p = 0; p < 2; p++) {
    Imf::OutputPart part(file, p);
    Imf::FrameBuffer frame;
    AddColour(&frame, "", type, bases[1 - p], size, w);
    part.setFrameBuffer(frame);
    part.writePixels(h);
  }
}

void WriteParts(const char *path, int w, int h, const char *in_path) {
  const size_t n = 3 * (size_t)w * (size_t)h;
  std::vector<half> colour = Halves(ReadRaw<float>(in_path, n));
  std::vector<float> depth((size_t)w * (size_t)h, 7.0f);
  std::vector<Imf::Header> headers(2, Imf::Header(w, h));
  headers[0].setName("depth");
  headers[0].setType(Imf::SCANLINEIMAGE);
  headers[0].channels().insert("Z", Imf::Channel(Imf::FLOAT));
  headers[1].setName("colour");
  headers[1].setType(Imf::SCANLINEIMAGE);
  for (const char *c : {"R", "G", "B"}) headers[1].channels().insert(c, Imf::Channel(Imf::HALF));
  Imf::MultiPartOutputFile file(path, headers.data(), 2);
  {
    Imf::OutputPart part(file, 0);
    Imf::FrameBuffer frame;
    frame.insert("Z", Imf::Slice(Imf::FLOAT, (char *)depth.data(), sizeof(float), sizeof(float) * (size_t)w));
    part.setFrameBuffer(frame);
    part.writePixels(h);
  }
  Imf::OutputPart part(file, 1);
  Imf::FrameBuffer frame;
  AddColour(&frame, "", Imf::HALF, (char *)colour.data(), sizeof(half), w);
  part.setFrameBuffer(frame);
  part.writePixels(h);
}

void WriteUint(const char *path, int w, int h, const char *in_path) {
  std::vector<uint32_t> values = ReadRaw<uint32_t>(in_path, 3 * (size_t)w * (size_t)h);
  Imf::Header header(w, h);
  for (const char *c : {"R", "G", "B"}) header.channels().insert(c, Imf::Channel(Imf::UINT));
  header.compression() = Imf::ZIP_COMPRESSION;
  Imf::OutputFile file(path, header);
  Imf::FrameBuffer frame;
  AddColour(&frame, "", Imf::UINT, (char *)values.data(), sizeof(uint32_t), w);
  file.setFrameBuffer(frame);
  file.writePixels(h);
}

void WriteYC(const char *path, int w, int h, const char *in_path) {
  std::vector<float> rgb = ReadRaw<float>(in_path, 3 * (size_t)w * (size_t)h);
  std::vector<Imf::Rgba> pixels((size_t)w * (size_t)h);
  for (size_t i = 0; i < pixels.size(); i++) pixels[i] = Imf::Rgba(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
  Imf::RgbaOutputFile file(path, w, h, Imf::WRITE_YC);
  file.setFrameBuffer(pixels.data(), 1, (size_t)w);
  file.writePixels(h);
}

void ReadRgba(const char *path, const char *out_path) {
  Imf::RgbaInputFile file(path);
  const Imath::Box2i display = file.displayWindow(), data = file.dataWindow();
  const int w = display.max.x - display.min.x + 1, h = display.max.y - display.min.y + 1;
  const int dw = data.max.x - data.min.x + 1, dh = data.max.y - data.min.y + 1;
  std::vector<Imf::Rgba> pixels((size_t)dw * (size_t)dh);
  file.setFrameBuffer(pixels.data() - data.min.x - (ptrdiff_t)data.min.y * dw, 1, (size_t)dw);
  file.readPixels(data.min.y, data.max.y);
  std::vector<float> out(3 * (size_t)w * (size_t)h, 0.0f);
  for (int y = display.min.y; y <= display.max.y; y++)
    for (int x = display.min.x; x <= display.max.x; x++) {
      if (x < data.min.x || x > data.max.x || y < data.min.y || y > data.max.y) continue;
      const Imf::Rgba &p = pixels[(size_t)(y - data.min.y) * dw + (x - data.min.x)];
      float *o = &out[3 * ((size_t)(y - display.min.y) * w + (x - display.min.x))];
      o[0] = p.r;
      o[1] = p.g;
      o[2] = p.b;
    }
  FILE *fp = fopen(out_path, "wb");
  if (fp == nullptr || fwrite(out.data(), sizeof(float), out.size(), fp) != out.size() || fclose(fp) != 0) {
    fprintf(stderr, "cannot write %s\n", out_path);
    exit(2);
  }
  printf("%d %d\n", w, h);
}

}  // namespace

int main(int argc, char **argv) {
  try {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "views" && argc == 9) {
      WriteViews(argv[2], atoi(argv[3]), atoi(argv[4]), strcmp(argv[5], "half") == 0, strcmp(argv[6], "parts") == 0,
                 argv[7], argv[8]);
    } else if (what == "parts" && argc == 6) {
      WriteParts(argv[2], atoi(argv[3]), atoi(argv[4]), argv[5]);
    } else if (what == "uint" && argc == 6) {
      WriteUint(argv[2], atoi(argv[3]), atoi(argv[4]), argv[5]);
    } else if (what == "yc" && argc == 6) {
      WriteYC(argv[2], atoi(argv[3]), atoi(argv[4]), argv[5]);
    } else if (what == "rgba" && argc == 4) {
      ReadRgba(argv[2], argv[3]);
    } else {
      fprintf(stderr, "usage: see the opening comment of exr_tool.cpp\n");
      return 2;
    }
  } catch (const std::exception &e) {
    fprintf(stderr, "exr_tool: %s\n", e.what());
    return 1;
  }
  return 0;
}
