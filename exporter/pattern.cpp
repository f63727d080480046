// Output-name patterns: a file name with one printf-style integer field for
// the frame number, read once and then filled in for every frame.
#include <cstdio>

#include "exporter.h"

namespace {

// Field widths and precisions beyond this make no file name.
constexpr int MAX_FIELD_DIGITS = 100;

// Reads a number of digits at text[*i]; -1 when it is too large.
int ReadCount(const std::string &text, size_t *i) {
  int n = 0;
  while (*i < text.size() && text[*i] >= '0' && text[*i] <= '9') {
    n = 10 * n + (text[*i] - '0');
    if (n > MAX_FIELD_DIGITS) return -1;
    ++*i;
  }
  return n;
}

}  // namespace

std::string ParseOutputPattern(const std::string &text, OutputPattern *pattern) {
  OutputPattern p;
  int fields = 0;
  std::string *part = &p.prefix;
  const std::string quoted = "\"" + text + "\"";
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '%') {
      *part += text[i];
      continue;
    }
    const size_t start = i++;
    if (i < text.size() && text[i] == '%') {
      *part += '%';
      continue;
    }
    OutputPattern field;
    for (; i < text.size(); i++) {
      const char c = text[i];
      if (c == '-')
        field.left = true;
      else if (c == '+')
        field.plus = true;
      else if (c == ' ')
        field.space = true;
      else if (c == '0')
        field.zero = true;
      else
        break;
    }
    field.width = ReadCount(text, &i);
    if (i < text.size() && text[i] == '.') {
      i++;
      field.precision = ReadCount(text, &i);
      if (field.precision < 0) field.width = -1;
    }
    if (field.width < 0)
      return "The output name " + quoted + " has a field wider than " + std::to_string(MAX_FIELD_DIGITS) +
             " characters";
    if (i >= text.size() || (text[i] != 'd' && text[i] != 'i' && text[i] != 'u'))
      return "The output name " + quoted + " has a field \"" + text.substr(start, i + 1 - start) +
             "\" that is not a frame number: use %d, %i or %u (such as %05d), and %% for a percent sign";
    if (++fields > 1) return "The output name " + quoted + " has more than one frame-number field";
    field.conversion = text[i];
    p.left = field.left;
    p.plus = field.plus;
    p.space = field.space;
    p.zero = field.zero;
    p.width = field.width;
    p.precision = field.precision;
    p.conversion = field.conversion;
    part = &p.suffix;
  }
  if (fields == 0)
    return "The output name " + quoted +
           " has no frame-number field such as %05d (or give - for a PPM stream on the standard output)";
  *pattern = p;
  return "";
}

std::string FormatOutputName(const OutputPattern &p, int64_t frame) {
  std::string digits = frame == 0 && p.precision == 0 ? "" : std::to_string(frame);
  if (p.precision > (int)digits.size()) digits.insert(0, (size_t)p.precision - digits.size(), '0');
  // %u has no sign; %d and %i take "+" or " " for a number of 0 or more.
  std::string sign;
  if (p.conversion != 'u') sign = p.plus ? "+" : p.space ? " " : "";
  std::string field = sign + digits;
  if (p.width > (int)field.size()) {
    const size_t pad = (size_t)p.width - field.size();
    if (p.left)
      field.append(pad, ' ');
    else if (p.zero && p.precision < 0)
      field.insert(sign.size(), pad, '0');
    else
      field.insert(0, pad, ' ');
  }
  return p.prefix + field + p.suffix;
}
