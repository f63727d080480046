// Stream and stderr helpers shared by the codec tests.
#ifndef HALVORN_TESTS_RGBE_TESTIO_H
#define HALVORN_TESTS_RGBE_TESTIO_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Redirects file descriptor 2 into a temporary file for its lifetime;
// Text() returns what was written so far.
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    file_ = tmpfile();
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() { Restore(); }
  std::string Text() {
    Restore();
    std::string out;
    rewind(file_);
    int c;
    while ((c = fgetc(file_)) != EOF) out.push_back((char)c);
    return out;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE *file_ = nullptr;
  int saved_ = -1;
};

// A read-write temporary file holding `data`, positioned at its start.
inline FILE *StreamOf(const std::string &data) {
  FILE *fp = tmpfile();
  fwrite(data.data(), 1, data.size(), fp);
  rewind(fp);
  return fp;
}
inline FILE *StreamOf(const Bytes &data) {
  return StreamOf(std::string(data.begin(), data.end()));
}

// Everything in the stream from its start.
inline Bytes Contents(FILE *fp) {
  fflush(fp);
  rewind(fp);
  Bytes out;
  int c;
  while ((c = fgetc(fp)) != EOF) out.push_back((unsigned char)c);
  return out;
}

inline std::string Text(const Bytes &b) { return std::string(b.begin(), b.end()); }

// Unbuffered stream that accepts `limit` bytes and fails every write that
// would go beyond, with ENOSPC; what it accepted is kept in `data`.
struct LimitedSink {
  size_t limit;
  Bytes data;
};
inline FILE *OpenLimitedSink(LimitedSink *sink) {
  cookie_io_functions_t io = {};
  io.write = [](void *cookie, const char *buf, size_t size) -> ssize_t {
    LimitedSink *s = static_cast<LimitedSink *>(cookie);
    if (s->data.size() + size > s->limit) {
      errno = ENOSPC;
      return 0;  // stdio takes a short count as the error (not -1: size_t)
    }
    s->data.insert(s->data.end(), buf, buf + size);
    return (ssize_t)size;
  };
  FILE *fp = fopencookie(sink, "w", io);
  setvbuf(fp, nullptr, _IONBF, 0);
  return fp;
}

// The exact text rgbe_error prints for a format error.
inline std::string FormatError(const char *msg) {
  return std::string("RGBE bad file format: ") + msg + "\n";
}

// perror's line for a read or write failure; the system's text after the
// colon depends on errno, so only the shape is checked.
#define EXPECT_PERROR_LINE(text, prefix)                                          \
  do {                                                                            \
    const std::string t_ = (text);                                                \
    const std::string p_ = std::string(prefix) + ": ";                            \
    EXPECT_EQ(t_.compare(0, p_.size(), p_), 0) << "stderr was: " << t_;          \
    EXPECT_TRUE(!t_.empty() && t_.back() == '\n' && t_.find('\n') == t_.size() - 1) \
        << "stderr was: " << t_;                                                  \
  } while (0)

// Scene with smooth gradients, flat patches (black among them) and noise.
inline std::vector<float> Scene(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> img((size_t)w * h * 3);
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      float *p = &img[((size_t)y * w + x) * 3];
      const int zone = (x * 5 / w + y * 3 / (h > 2 ? h : 3)) % 4;
      if (zone == 0) {  // gradient over many octaves
        const float v = std::exp2(20.0f * x / w - 10.0f);
        p[0] = v;
        p[1] = 0.5f * v;
        p[2] = 0.25f * v + 0.001f * y;
      } else if (zone == 1) {  // flat patch
        p[0] = 3.5f;
        p[1] = 3.5f;
        p[2] = 0.75f;
      } else if (zone == 2) {  // black
        p[0] = p[1] = p[2] = 0.0f;
      } else {  // noise spanning several octaves
        p[0] = std::exp2(8.0f * u(rng) - 4.0f);
        p[1] = std::exp2(8.0f * u(rng) - 4.0f);
        p[2] = u(rng) < 0.2f ? 0.0f : std::exp2(8.0f * u(rng) - 4.0f);
      }
    }
  }
  return img;
}

#endif
