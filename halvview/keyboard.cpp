// Keys: flags, exposure, bias, adaptation mode, stepping, seeking, playing
// modes, the views inside the picture, and quitting. Comparing, the
// settings keys act on the sides Tab chose, and moving through the movie
// moves both sides (compare_view.cpp).
#include <GL/freeglut.h>

#include "view.h"

namespace {
void Toggle(int *flag) { *flag = *flag == 0 ? 1 : 0; }

// A settings key on the sides it acts on.
void Change(SettingChange change) {
  ChangeSettings(view->compare.keys, change, &view->session.settings,
                 view->side_b ? &view->side_b->settings : nullptr);
}
}  // namespace

void HandleKeyboard(unsigned char key, int /*x*/, int /*y*/) {
  Session &s = view->session;
  Session &lead = LeadSession(view);  // the session itself without a side B
  if (HandleCompareKey(view, key)) return;
  switch (key) {
    case 27:
    case 'q':
    case 'Q':
      EndPlayer(view);
    case '1':
    case '!':
      StepBoth(view, 0);
      break;
    case '.':
    case '>':
      StepBoth(view, lead.currentframe + 1);
      break;
    case ',':
    case '<':
      StepBoth(view, lead.currentframe - 1);
      break;
    case '+':
    case '=':
      Change(glutGetModifiers() == GLUT_ACTIVE_SHIFT ? EXPOSURE_UP_FINE : EXPOSURE_UP);
      break;
    case '-':
    case '_':
      Change(glutGetModifiers() == GLUT_ACTIVE_SHIFT ? EXPOSURE_DOWN_FINE : EXPOSURE_DOWN);
      break;
    case 'a':
    case 'A':
      Change(TOGGLE_LOOKAHEAD);
      break;
    case 'g':
    case 'G':
      Toggle(&lead.autoplay);
      if (lead.autoplay) s.newanimation = 1;
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
      Change(TOGGLE_TONEMAP);
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
      CycleLoopMode(&lead);
      break;
    case 'r':
    case 'R':
      ReversePlaying(&lead);
      break;
    case '[':
      SeekBoth(view, lead.currentframe - SEEK_STEP);
      break;
    case ']':
      SeekBoth(view, lead.currentframe + SEEK_STEP);
      break;
    case 's':
    case 'S':
      if (view->side_b)
        TakeCompareScreenshot(*view);
      else
        TakeScreenshot(*view);
      break;
    default:
      break;
  }
}

void HandleSpecialKeyboard(int key, int /*x*/, int /*y*/) {
  Session &lead = LeadSession(view);
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
      Change(BIAS_UP);
      break;
    case GLUT_KEY_PAGE_DOWN:
      Change(BIAS_DOWN);
      break;
    case GLUT_KEY_HOME:
      HandleKeyboard('1', 0, 0);
      break;
    case GLUT_KEY_END:
      SeekBoth(view, lead.movie.header.nframes - 1);
      break;
    default:
      break;
  }
}
