// Keys: flags, exposure, bias, adaptation mode, stepping, seeking, playing
// modes, the views inside the picture, and quitting.
#include <GL/freeglut.h>

#include "view.h"

namespace {
void Toggle(int *flag) { *flag = *flag == 0 ? 1 : 0; }
}  // namespace

void HandleKeyboard(unsigned char key, int /*x*/, int /*y*/) {
  Session &s = view->session;
  switch (key) {
    case 27:
    case 'q':
    case 'Q':
      CleanExit(&s);
    case '1':
    case '!':
      ShowFrame(&s, 0);
      break;
    case '.':
    case '>':
      ShowFrame(&s, s.currentframe + 1);
      break;
    case ',':
    case '<':
      ShowFrame(&s, s.currentframe - 1);
      break;
    case '+':
    case '=':
      if (glutGetModifiers() == GLUT_ACTIVE_SHIFT)
        s.settings.exposure += 0.1;
      else
        s.settings.exposure += 1.0;
      break;
    case '-':
    case '_':
      if (glutGetModifiers() == GLUT_ACTIVE_SHIFT)
        s.settings.exposure -= 0.1;
      else
        s.settings.exposure -= 1.0;
      break;
    case 'a':
    case 'A':
      Toggle(&s.settings.lookahead);
      break;
    case 'g':
    case 'G':
      Toggle(&s.autoplay);
      if (s.autoplay) s.newanimation = 1;
      break;
    case 'h':
    case 'H':
      Toggle(&s.showhelp);
      break;
    case 'i':
    case 'I':
      Toggle(&s.showinfo);
      break;
    case 'm':
    case 'M':
      glutSetCursor(s.showmouse ? GLUT_CURSOR_NONE : GLUT_CURSOR_LEFT_ARROW);
      Toggle(&s.showmouse);
      break;
    case 't':
    case 'T':
      Toggle(&s.settings.tmo);
      break;
    case 'c':
    case 'C':
      Toggle(&s.clipview);
      break;
    case 'k':
    case 'K':
      Toggle(&s.showhistogram);
      break;
    case 'l':
    case 'L':
      CycleLoopMode(&s);
      break;
    case 'r':
    case 'R':
      ReversePlaying(&s);
      break;
    case '[':
      SeekToFrame(&s, s.currentframe - SEEK_STEP);
      break;
    case ']':
      SeekToFrame(&s, s.currentframe + SEEK_STEP);
      break;
    case 's':
    case 'S':
      TakeScreenshot(*view);
      break;
    default:
      break;
  }
}

void HandleSpecialKeyboard(int key, int /*x*/, int /*y*/) {
  Session &s = view->session;
  switch (key) {
    case GLUT_KEY_RIGHT:
      HandleKeyboard('>', 0, 0);
      break;
    case GLUT_KEY_LEFT:
      HandleKeyboard('<', 0, 0);
      break;
    case GLUT_KEY_F1:
      HandleKeyboard('h', 0, 0);
      break;
    case GLUT_KEY_F2:
      HandleKeyboard('i', 0, 0);
      break;
    case GLUT_KEY_PAGE_UP:
      if (s.settings.biasParam < 0.98) s.settings.biasParam += 0.02;
      break;
    case GLUT_KEY_PAGE_DOWN:
      if (s.settings.biasParam > 0.72) s.settings.biasParam -= 0.02;
      break;
    case GLUT_KEY_HOME:
      HandleKeyboard('1', 0, 0);
      break;
    case GLUT_KEY_END:
      SeekToFrame(&s, s.movie.header.nframes - 1);
      break;
    default:
      break;
  }
}
