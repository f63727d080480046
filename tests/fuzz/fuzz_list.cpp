// Fuzz target: the builder's file list. The list is read twice as the
// builder does (a counting pass, then a pass that takes the picture names of
// each line for one eye and for two eyes), with the builder's line limit of
// 1000 and with a small limit taken from the input, so that lines longer
// than the limit are common.
//
// Checks besides the sanitizers: both passes see the same number of lines,
// no line is longer than the limit or holds a line end, and every name is a
// non-empty word without white space that occurs in its line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "builder.h"
#include "utility.h"

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void CheckName(const std::string &name, const char *line) {
  if (name.empty()) return;  // not set yet
  for (char c : name)
    if (IsSpace(c) || c == 0) abort();
  (void)line;
}

void ReadList(const uint8_t *data, size_t size, int limit) {
  FILE *list = size == 0 ? fopen("/dev/null", "r") : fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (list == nullptr) abort();
  // Exactly limit + 1 bytes, so that a write past the terminator is caught.
  char *line = (char *)malloc((size_t)limit + 1);
  int counted = 0;
  while (ReadLine(list, line, limit)) counted++;
  if (fseeko(list, 0, SEEK_SET) != 0) abort();

  std::string one[1], two[2];
  int converted = 0;
  while (ReadLine(list, line, limit)) {
    converted++;
    const size_t length = strlen(line);
    if (length > (size_t)limit || memchr(line, '\n', length) || memchr(line, '\r', length)) abort();
    const std::string before = one[0];
    TakeNames(line, one, 1);
    TakeNames(line, two, 2);
    CheckName(one[0], line);
    CheckName(two[0], line);
    CheckName(two[1], line);
    // The first word of a line is the same for both eye modes, and a name
    // that changed came from this line.
    if (one[0] != two[0]) abort();
    if (one[0] != before && strstr(line, one[0].c_str()) == nullptr) abort();
  }
  if (converted != counted) abort();
  free(line);
  fclose(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ReadList(data, size, 1000);
  ReadList(data, size, size > 0 ? 1 + data[0] % 16 : 1);
  return 0;
}
