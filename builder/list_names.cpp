// Picture names from one line of the file list.
#include "builder.h"

int TakeNames(const char *line, std::string *names, int count) {
  for (int n = 0; n < count; n++) {
    while (*line == ' ' || (*line >= '\t' && *line <= '\r')) line++;
    if (*line == 0) return n;
    const char *start = line;
    while (*line && !(*line == ' ' || (*line >= '\t' && *line <= '\r'))) line++;
    names[n].assign(start, (size_t)(line - start));
  }
  return count;
}
