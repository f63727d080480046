// The one view the GLUT callbacks act on, and what it frees.
#include "view.h"

#include <cstdlib>

#include "utility.h"

View *view = nullptr;

View::~View() {
  for (int eye = 0; eye < 2; eye++) {
    free(inspection.view_bytes[eye]);
    DestroyFloatmap(inspection.view_floats[eye]);
  }
}
