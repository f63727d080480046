// The one view the GLUT callbacks act on, and what it frees.
#include "view.h"

#include <cstdlib>

#include "utility.h"

View *view = nullptr;

Inspection::~Inspection() {
  for (int eye = 0; eye < 2; eye++) {
    free(view_bytes[eye]);
    DestroyFloatmap(view_floats[eye]);
  }
}

DifferencePicture::~DifferencePicture() {
  DestroyFloatmap(floats);
  free(bytes);
}

Session &SideSession(View *v, int side) { return side == 1 && v->side_b ? *v->side_b : v->session; }

const Session &SideSession(const View &v, int side) { return side == 1 && v.side_b ? *v.side_b : v.session; }

Inspection &SideInspection(View *v, int side) { return side == 1 && v->side_b ? v->inspection_b : v->inspection; }
