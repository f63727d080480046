// Comparing two sides in the window: moving both, the compare keys, the
// four views (wipe, side by side, difference, toggle), the overlay's lines
// for both sides, the wipe line's drag and the screenshot of what the view
// shows. The rules are the GL-free compare state's (player/compare.h).
#include <GL/freeglut.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "exporter.h"
#include "utility.h"
#include "view.h"
#include "window_pixels.h"

namespace {

// Baselines of the compare mode's overlay lines, stacked above the
// clipping view's legend (baseline 75); A's probe takes the probe's line.
constexpr int PROBE_A_LINE = 49, PROBE_B_LINE = 88, SETTINGS_A_LINE = 101, SETTINGS_B_LINE = 114,
              COMPARE_LINE = 127, DIFFERENCE_LINE = 140;
// The colour of the wipe line.
constexpr unsigned char WIPE_LINE[3] = {255, 255, 255};

int Width(const View &v) { return v.session.movie.header.width; }
int Height(const View &v) { return v.session.movie.header.height; }

// Drops side B after it could not be read: the player goes on with side A
// alone, in its own window size.
void DropSideB(View *v) {
  fprintf(stderr, "Side B cannot be read: going on with side A alone\n");
  StopReadAhead(v->side_b.get());
  v->side_b.reset();
  Session &s = v->session;
  if (s.fullscreen == 0) {
    s.screenwidth = Width(*v) * ShownEyes(s);
    glutReshapeWindow(s.screenwidth, s.screenheight);
  }
  glutPostRedisplay();
}

// After the lead moved: the other side follows; a side B that cannot be
// read is dropped, a side A that cannot be read ends the player.
void Follow(View *v) {
  Session &a = v->session, &b = *v->side_b;
  if (LeadingSide(a, b) == 0) {
    if (!FollowLead(a, &b)) DropSideB(v);
  } else if (!FollowLead(b, &a)) {
    EndPlayer(v);
  }
}

// Makes the difference picture in the upload's format when either side's
// pictures changed. Returns 0 when there is no memory for it.
int MakeDifferencePicture(View *v) {
  DifferencePicture &d = v->difference;
  const Session &first = SideSession(*v, SideAt(v->compare, 0)), &second = SideSession(*v, SideAt(v->compare, 1));
  const long versions[2] = {v->session.picture_version, v->side_b->picture_version};
  if (d.version[0] == versions[0] && d.version[1] == versions[1] && d.swapped == v->compare.swapped &&
      d.eye == v->compare.eye)
    return 1;
  const size_t n = first.movie.npixels;
  const int bytes = first.settings.bytes;
  if (!bytes && d.floats == nullptr) d.floats = CreateFloatmap(Width(*v), Height(*v));
  if (bytes && d.bytes == nullptr) d.bytes = (unsigned char *)malloc(DISPLAY_PIXEL_BYTES * n);
  if (bytes ? d.bytes == nullptr : d.floats == nullptr) return 0;
  MakeDifference(first.pool, ChooseDifferenceKernels(first.settings.avx), ShownPixels(first, v->compare.eye),
                 ShownPixels(second, v->compare.eye), n, bytes ? nullptr : d.floats, bytes ? d.bytes : nullptr);
  d.version[0] = versions[0];
  d.version[1] = versions[1];
  d.swapped = v->compare.swapped;
  d.eye = v->compare.eye;
  return 1;
}

// Draws columns [from, to) of side `side`'s picture (or of its clipping
// view), the picture's lower-left pixel at window (column, row).
void DrawSide(View *v, int side, int column, int row, int from, int to) {
  const float *picture;
  const unsigned char *bytes;
  Session &s = SideSession(v, side);
  if (!SidePictureToDraw(s, &SideInspection(v, side), v->compare.eye, v->session.clipview, &picture, &bytes))
    v->session.clipview = 0;
  if (to <= from) return;
  const int W = Width(*v), H = Height(*v);
  glRasterPos2i(column + from, row);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, W);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, from);
  if (s.settings.bytes)
    glDrawPixels(to - from, H, GL_BGRA, GL_UNSIGNED_BYTE, bytes);
  else
    glDrawPixels(to - from, H, GL_RGB, GL_FLOAT, picture);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
}

// The side whose histogram shows when one picture is drawn: the one under
// the pointer (left or right of the wipe line), the toggle's side, A in
// the difference view.
int SideUnderPointer(const View &v, int column) {
  const CompareState &c = v.compare;
  if (c.view == VIEW_WIPE && v.pointer_inside)
    return SideAt(c, v.pointer_x - column >= WipeColumn(c, Width(v)) ? 1 : 0);
  if (c.view == VIEW_DIFFERENCE) return 0;
  return SideAt(c, 0);
}

void DrawHistograms(View *v, int column, int row) {
  if (!v->session.showhistogram) return;
  const int eye = v->compare.eye;
  if (v->compare.view == VIEW_SIDE_BY_SIDE) {
    for (int place = 0; place < 2; place++) {
      const int side = SideAt(v->compare, place);
      DrawSideHistogram(SideSession(v, side), &SideInspection(v, side), eye, column + place * Width(*v), row);
    }
  } else {
    const int side = SideUnderPointer(*v, column);
    DrawSideHistogram(SideSession(v, side), &SideInspection(v, side), eye, column, row);
  }
}

// The picture pixel under window pixel (wx, wy from the top) and the place
// it lies in, or inside 0.
PictureSpot LocateComparePixel(const View &v, int wx, int wy) {
  int column, row;
  CompareOrigin(v, &column, &row);
  const int W = Width(v), H = Height(v);
  const int from_bottom = glutGet(GLUT_WINDOW_HEIGHT) - 1 - wy;
  const int x = wx - column, r = from_bottom - row;
  PictureSpot spot = {0, v.compare.eye, 0, 0};
  if (x < 0 || x >= W * PicturesAcross(v.compare) || r < 0 || r >= H) return spot;
  spot.inside = 1;
  spot.x = x % W;
  spot.y = H - 1 - r;
  return spot;
}

// "Clipping view" counts over the sides drawn.
void DrawCompareLegend(View *v) {
  ClipCounts counts;
  double pixels = 0.0;
  for (int side = 0; side < 2; side++) {
    const Session &s = SideSession(v, side);
    counts.white += SideInspection(v, side).view_counts.white;
    counts.black += SideInspection(v, side).view_counts.black;
    pixels += (double)s.movie.npixels * ShownEyes(s);
  }
  DrawClipLegend(counts, pixels);
}

// "Difference B/A: " with a swatch for each stop of the ramp, then the
// scale.
void DrawDifferenceLegend(const View &v) {
  const std::string head = DifferenceLegendHead(v.compare);
  const int steps = 2 * (int)DIFFERENCE_FULL_STOPS + 1;
  const std::string text = head + std::string((size_t)steps, ' ') + DifferenceLegendTail();
  glColor4f(0, 1, 0, 1);
  DrawGLText(10, DIFFERENCE_LINE, text.c_str());
  BeginWindowPixels();
  for (int i = 0; i < steps; i++) {
    float rgb[3];
    DifferenceColour(i - DIFFERENCE_FULL_STOPS, rgb);
    const int x = 10 + 8 * ((int)head.size() + i);
    FillWindowRect(x, DIFFERENCE_LINE, x + 7, DIFFERENCE_LINE + 9, DisplayByte(rgb[0]), DisplayByte(rgb[1]),
                   DisplayByte(rgb[2]));
  }
  EndWindowPixels();
  glColor4f(0, 1, 0, 1);
}

}  // namespace

void EndPlayer(View *v) {
  if (v->side_b) {
    StopReadAhead(v->side_b.get());
    if (v->session.debug)
      for (int side = 0; side < 2; side++) {
        const Session &s = SideSession(*v, side);
        fprintf(stderr, "Side %c: %ld frames made ahead and shown, %ld thrown away, %ld shown again from the cache\n",
                side == 0 ? 'A' : 'B', s.ahead.used, s.ahead.discarded, s.cache.hits);
      }
  }
  CleanExit(&v->session);
}

Session &LeadSession(View *v) {
  return v->side_b && LeadingSide(v->session, *v->side_b) == 1 ? *v->side_b : v->session;
}

void StepBoth(View *v, int frame) {
  if (!v->side_b) {
    ShowFrame(&v->session, frame);
    return;
  }
  if (LeadingSide(v->session, *v->side_b) == 0) {
    ShowFrame(&v->session, frame);
  } else if (!HandleNextFrame(v->side_b.get(), frame)) {
    DropSideB(v);
    // At start side A has shown nothing yet.
    if (v->session.shown->number < 0) ShowFrame(&v->session, 0);
    return;
  }
  Follow(v);
}

void SeekBoth(View *v, int frame) {
  SeekToFrame(&LeadSession(v), frame);
  if (v->side_b) Follow(v);
}

int HandleCompareKey(View *v, unsigned char key) {
  if (!v->side_b) return 0;
  CompareState &c = v->compare;
  switch (key) {
    case '\t':
      CycleKeySides(&c);
      return 1;
    case 'v':
    case 'V':
      CycleCompareView(&c);
      SizeCompareWindow(v);
      return 1;
    case 'x':
    case 'X':
      SwapSides(&c);
      return 1;
    case 'e':
    case 'E':
      ChooseOtherEye(&c, ShownEyes(v->session));
      return 1;
    default:
      return 0;
  }
}

void SizeCompareWindow(View *v) {
  Session &s = v->session;
  if (s.fullscreen != 0) return;
  s.screenwidth = Width(*v) * PicturesAcross(v->compare);
  s.screenheight = Height(*v);
  glutReshapeWindow(s.screenwidth, s.screenheight);
}

void CompareOrigin(const View &v, int *column, int *row) { PictureOrigin(v.session, 0, column, row); }

void DrawCompare(View *v) {
  const CompareState &c = v->compare;
  int column, row;
  CompareOrigin(*v, &column, &row);
  BeginWindowPixels();
  switch (c.view) {
    case VIEW_WIPE: {
      // Left of the line the first side, right of it the second, the line
      // between them: each side's columns drawn alone.
      const int line = WipeColumn(c, Width(*v));
      DrawSide(v, SideAt(c, 0), column, row, 0, line);
      DrawSide(v, SideAt(c, 1), column, row, line + 1, Width(*v));
      FillWindowRect(column + line, row, column + line + 1, row + Height(*v), WIPE_LINE[0], WIPE_LINE[1],
                     WIPE_LINE[2]);
      break;
    }
    case VIEW_SIDE_BY_SIDE:
      DrawSide(v, SideAt(c, 0), column, row, 0, Width(*v));
      DrawSide(v, SideAt(c, 1), column + Width(*v), row, 0, Width(*v));
      break;
    case VIEW_DIFFERENCE:
      if (!MakeDifferencePicture(v)) {
        fprintf(stderr, "No memory for the difference view\n");
        v->compare.view = VIEW_TOGGLE;
        break;
      }
      glRasterPos2i(column, row);
      DrawPicture(v->session, v->difference.floats, v->difference.bytes);
      break;
    case VIEW_TOGGLE:
      DrawSide(v, SideAt(c, 0), column, row, 0, Width(*v));
      break;
  }
  DrawHistograms(v, column, row);
  EndWindowPixels();
}

void DrawCompareInfo(View *v) {
  glColor4f(0, 1, 0, 1);
  if (v->pointer_inside) {
    const PictureSpot spot = LocateComparePixel(*v, v->pointer_x, v->pointer_y);
    if (spot.inside) {
      const std::string a = CompareProbeText(v->session, 0, spot), b = CompareProbeText(*v->side_b, 1, spot);
      DrawGLText(10, PROBE_A_LINE, a.c_str());
      DrawGLText(10, PROBE_B_LINE, b.c_str());
      const std::string both = a + "\n" + b;
      if (v->session.debug && both != v->inspection.last_probe) {
        fprintf(stderr, "Probe: %s\n", a.c_str());
        fprintf(stderr, "Probe: %s\n", b.c_str());
      }
      v->inspection.last_probe = both;
    }
  }
  DrawGLText(10, SETTINGS_A_LINE, SideSettingsText(v->session, 0).c_str());
  DrawGLText(10, SETTINGS_B_LINE, SideSettingsText(*v->side_b, 1).c_str());
  DrawGLText(10, COMPARE_LINE, CompareText(v->compare).c_str());
  if (v->session.clipview && v->compare.view != VIEW_DIFFERENCE) DrawCompareLegend(v);
  if (v->compare.view == VIEW_DIFFERENCE) DrawDifferenceLegend(*v);
}

int InfoTop(const View &v) {
  // The last line has its baseline this high; a line is 13 pixels.
  if (!v.side_b) return 75 + 13;
  return (v.compare.view == VIEW_DIFFERENCE ? DIFFERENCE_LINE : COMPARE_LINE) + 13;
}

int StartWipeDrag(View *v, int x, int y) {
  if (!v->side_b || v->compare.view != VIEW_WIPE) return 0;
  const PictureSpot spot = LocateComparePixel(*v, x, y);
  if (!spot.inside) return 0;
  DragWipe(v, x);
  return 1;
}

void DragWipe(View *v, int x) {
  int column, row;
  CompareOrigin(*v, &column, &row);
  MoveWipe(&v->compare, x - column, Width(*v));
}

void TakeCompareScreenshot(const View &v) {
  const CompareState &c = v.compare;
  const Session &first = SideSession(v, SideAt(c, 0)), &second = SideSession(v, SideAt(c, 1));
  const int W = Width(v), H = Height(v), eye = c.eye;
  const float *left = ShownPicture(first, eye), *right = nullptr;
  std::vector<float> composed;
  if (c.view == VIEW_SIDE_BY_SIDE) {
    right = ShownPicture(second, eye);
  } else if (c.view == VIEW_DIFFERENCE) {
    composed.resize(3 * (size_t)W * H);
    MakeDifference(first.pool, ChooseDifferenceKernels(first.settings.avx), ShownPixels(first, eye), ShownPixels(second, eye),
                   first.movie.npixels, composed.data(), nullptr);
    left = composed.data();
  } else if (c.view == VIEW_WIPE) {
    // The wipe as drawn: the second side right of the line, the line white.
    composed.assign(ShownPicture(first, eye), ShownPicture(first, eye) + 3 * (size_t)W * H);
    const int line = WipeColumn(c, W);
    const float *b = ShownPicture(second, eye);
    for (int y = 0; y < H; y++)
      for (int x = line; x < W; x++)
        for (int k = 0; k < 3; k++) {
          const size_t at = 3 * ((size_t)y * W + x) + k;
          composed[at] = x == line ? WIPE_LINE[k] / 255.0f : b[at];
        }
    left = composed.data();
  }
  std::string written, error;
  if (WriteScreenshot(v.moviepath, LeadingSide(v.session, *v.side_b) == 1 ? v.side_b->currentframe : v.session.currentframe, left, right, W, H, DISPLAY_GAMMA, &written,
                      &error) == 0)
    fprintf(stderr, "%s\n", written.c_str());
  else
    fprintf(stderr, "Failed to write the screenshot: %s\n", error.c_str());
}
