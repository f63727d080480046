// The player's usage and help text: printed with the usage, and drawn as the
// help overlay with the block of added options and keys under it.
#include <cstdint>

#include "session.h"

const char *const helpstring =
    "Command line options\n"
    "                        -h      this text\n"
    "                        -i      show frame information\n"
    "                        -t      tone mapping\n"
    "                        -f      full screen mode\n"
    "                        -b      byte swap for other endian machines\n"
    "                        -m      hide mouse\n"
    "                        -a      start in play mode\n"
    "                    -fps n      target frames per second\n"
    "Key Strokes and Menus:\n"
    "                         t      toggle tone mapping\n"
    "                         g      toggle autoplay\n"
    "                         m      toggle mouse display\n"
    "                      h,f1      toggle help screen\n"
    "                      i,f2      toggle info screen\n"
    "                     q,esc      quit\n"
    "               ight arrows      forward one frame\n"
    "                       -,+      Adjust exposure (shift=smooth)\n"
    "                         1      first frame\n";

const char *const helpstring_added =
    "Look-ahead adaptation\n"
    "                        -A      look-ahead adaptation on\n"
    "                      -R n      look-ahead window, n frames each side (6)\n"
    "                      -j N      N threads convert frames (one per core)\n"
    "               -cache SIZE      bytes of frames kept ready (K, M, G)\n"
    "                         a      toggle look-ahead adaptation\n"
    "Looking inside and moving through the movie\n"
    "                     mouse      pixel probe (info screen on)\n"
    "                         c      toggle clipping view\n"
    "                         k      toggle histogram\n"
    "                 click bar      go to that frame (info screen on)\n"
    "                  home,end      first, last frame\n"
    "                       [,]      back, forward 10 frames\n"
    "                         l      loop, play once, ping-pong\n"
    "                         r      reverse playing direction\n"
    "Saving what is shown\n"
    "                         s      screenshot: NAME-FFFFF.png, gamma 2.2\n"
    "Comparing two movies\n"
    "                   -c FILE      compare with FILE, side B\n"
    "                       tab      settings keys act on both, A, B\n"
    "                         v      wipe, side by side, difference, toggle\n"
    "                         x      swap A and B\n"
    "                         e      eye of a pair both sides show\n"
    "                      drag      move the wipe line\n";

namespace {

constexpr int LINE_HEIGHT = 13, GLYPH_WIDTH = 8, MARGIN = 10;

int CountLines(const char *text) {
  int lines = 0;
  for (const char *p = text; *p; p++) lines += *p == '\n';
  return lines;
}

// The widest line, in characters.
size_t WidestLine(const char *text) {
  size_t widest = 0, n = 0;
  for (const char *p = text;; p++) {
    if (*p == '\n' || *p == 0) {
      if (n > widest) widest = n;
      n = 0;
      if (*p == 0) break;
    } else {
      n++;
    }
  }
  return widest;
}

// The fewest leading blanks of the lines that have any: the padding that
// right-aligns the keys.
size_t CommonPadding(const char *text) {
  size_t fewest = SIZE_MAX;
  for (const char *p = text; *p;) {
    size_t n = 0;
    while (p[n] == ' ') n++;
    if (n > 0 && n < fewest) fewest = n;
    while (*p && *p != '\n') p++;
    if (*p) p++;
  }
  return fewest == SIZE_MAX ? 0 : fewest;
}

}  // namespace

HelpLayout LayOutHelp(int window_width, int window_height, int info_top) {
  HelpLayout layout;
  layout.x1 = MARGIN;
  layout.y1 = window_height - 20;
  const int lines1 = CountLines(helpstring), lines2 = CountLines(helpstring_added);
  // Under the first block, the second's last baseline lies this low; a
  // line's descent reaches 3 pixels below its baseline.
  const int lowest = layout.y1 - LINE_HEIGHT * (lines1 + lines2 - 1);
  // Beside the first block, the second's lines without their common
  // padding.
  const size_t trim = CommonPadding(helpstring_added);
  const int beside = MARGIN + GLYPH_WIDTH * (int)(WidestLine(helpstring) + 2);
  const int width2 = GLYPH_WIDTH * (int)(WidestLine(helpstring_added) - trim);
  if (lowest - 3 < info_top && beside + width2 + MARGIN <= window_width) {
    layout.x2 = beside;
    layout.y2 = layout.y1;
    layout.trim2 = trim;
  } else {  // under the first block: it fits there, or there is no room beside it
    layout.x2 = MARGIN;
    layout.y2 = layout.y1 - LINE_HEIGHT * lines1;
    layout.trim2 = 0;
  }
  return layout;
}

std::string TrimHelpLines(const char *text, size_t trim) {
  std::string out;
  for (const char *p = text; *p;) {
    for (size_t n = 0; n < trim && *p == ' '; n++) p++;
    while (*p && *p != '\n') out += *p++;
    if (*p) out += *p++;
  }
  return out;
}
