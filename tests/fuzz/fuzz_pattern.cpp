// Fuzz target: halvexport's output-name patterns.
//
// Input: 4 bytes of frame number (little-endian, taken as 0 to INT_MAX),
// then the pattern's text.
//
// Checks besides the sanitizers: a refused pattern says why and an accepted
// one says nothing; an accepted pattern of text without NUL bytes names the
// frame exactly as printf does with the text as its format (every pattern
// accepted is one printf-style integer field with %% for percent signs);
// two frames get two names.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exporter.h"

namespace {

std::string Printf(const std::string &format, int frame) {
  const int n = snprintf(nullptr, 0, format.c_str(), frame);
  if (n < 0) abort();
  std::vector<char> text((size_t)n + 1);
  snprintf(text.data(), text.size(), format.c_str(), frame);
  return std::string(text.data(), (size_t)n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  uint32_t bits;
  memcpy(&bits, data, 4);
  const int frame = (int)(bits & INT_MAX);
  const std::string text((const char *)data + 4, size - 4);

  OutputPattern pattern;
  const std::string error = ParseOutputPattern(text, &pattern);
  if (!error.empty()) {
    if (error.find("The output name \"") != 0) abort();
    return 0;
  }
  const std::string name = FormatOutputName(pattern, frame);
  const std::string next = FormatOutputName(pattern, frame == INT_MAX ? 0 : frame + 1);
  if (name == next) abort();
  if (text.find('\0') == std::string::npos && name != Printf(text, frame)) abort();
  return 0;
}
