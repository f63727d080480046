// The player's usage and help text: printed with the usage, and drawn as the
// help overlay with the block of added options and keys under it.
#include "player.h"

const char *helpstring =
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

const char *helpstring_added =
    "Look-ahead adaptation\n"
    "                        -A      look-ahead adaptation on\n"
    "                      -R n      look-ahead window, n frames each side (6)\n"
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
    "                         s      screenshot: NAME-FFFFF.png, gamma 2.2\n";
