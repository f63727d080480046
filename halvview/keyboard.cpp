// Keys: flags, exposure, bias, adaptation mode, stepping, seeking, playing
// modes, the views inside the picture, and quitting.
#include <GL/freeglut.h>

#include "inspect.h"
#include "view.h"

namespace {
void Toggle(int *flag) { *flag = *flag == 0 ? 1 : 0; }
}  // namespace

void HandleKeyboard(unsigned char key, int /*x*/, int /*y*/) {
  switch (key) {
    case 27:
    case 'q':
    case 'Q':
      CleanExit();
    case '1':
    case '!':
      ShowFrame(0);
      break;
    case '.':
    case '>':
      ShowFrame(currentframe + 1);
      break;
    case ',':
    case '<':
      ShowFrame(currentframe - 1);
      break;
    case '+':
    case '=':
      if (glutGetModifiers() == GLUT_ACTIVE_SHIFT)
        exposure += 0.1;
      else
        exposure += 1.0;
      break;
    case '-':
    case '_':
      if (glutGetModifiers() == GLUT_ACTIVE_SHIFT)
        exposure -= 0.1;
      else
        exposure -= 1.0;
      break;
    case 'a':
    case 'A':
      Toggle(&lookahead);
      break;
    case 'g':
    case 'G':
      Toggle(&autoplay);
      if (autoplay) newanimation = 1;
      break;
    case 'h':
    case 'H':
      Toggle(&showhelp);
      break;
    case 'i':
    case 'I':
      Toggle(&showinfo);
      break;
    case 'm':
    case 'M':
      glutSetCursor(showmouse ? GLUT_CURSOR_NONE : GLUT_CURSOR_LEFT_ARROW);
      Toggle(&showmouse);
      break;
    case 't':
    case 'T':
      Toggle(&tmo);
      break;
    case 'c':
    case 'C':
      Toggle(&clipview);
      break;
    case 'k':
    case 'K':
      Toggle(&showhistogram);
      break;
    case 'l':
    case 'L':
      CycleLoopMode();
      break;
    case 'r':
    case 'R':
      ReversePlaying();
      break;
    case '[':
      SeekToFrame(fptr, currentframe - SEEK_STEP);
      break;
    case ']':
      SeekToFrame(fptr, currentframe + SEEK_STEP);
      break;
    case 's':
    case 'S':
      TakeScreenshot();
      break;
    default:
      break;
  }
}

void HandleSpecialKeyboard(int key, int /*x*/, int /*y*/) {
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
      if (biasParam < 0.98) biasParam += 0.02;
      break;
    case GLUT_KEY_PAGE_DOWN:
      if (biasParam > 0.72) biasParam -= 0.02;
      break;
    case GLUT_KEY_HOME:
      HandleKeyboard('1', 0, 0);
      break;
    case GLUT_KEY_END:
      SeekToFrame(fptr, header.nframes - 1);
      break;
    default:
      break;
  }
}
