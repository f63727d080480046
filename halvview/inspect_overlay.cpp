// Drawing what looks inside the picture: the clipping view in place of the
// picture, a histogram in the top-right corner of each eye's picture, the
// timeline bar, and the overlay lines of the probe, the playing mode and
// the clipping view's legend.
#include <GL/freeglut.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "inspect.h"
#include "lookahead.h"
#include "utility.h"
#include "view.h"

int clipview = 0, showhistogram = 0;

namespace {

// Baselines of the overlay's added lines, stacked 13 pixels apart above
// the three lines of DrawInfo.
constexpr int PROBE_LINE = 49, MODE_LINE = 62, LEGEND_LINE = 75;

// The histogram's plot: a pixel column per bin, HISTOGRAM_HEIGHT rows,
// inside a dark backing with a margin.
constexpr int HISTOGRAM_HEIGHT = 64, HISTOGRAM_MARGIN = 4;

// The clipping view of each eye, made from picture `view_version`.
unsigned char *view_bytes[2] = {nullptr, nullptr};
float *view_floats[2] = {nullptr, nullptr};
long view_version = -1;
ClipCounts view_counts;

// Each eye's histogram and statistics (maxLum, logAv) for picture
// `histogram_version`.
Histogram histograms[2];
double statistics[2][2];
int statistics_read[2] = {0, 0};
long histogram_version = -1;

std::string last_probe;  // the probe text -d printed last

// Makes the clipping view for the pictures shown, if they have changed.
// Returns 0 when there is no memory for it (the view is then turned off).
int MakeClippingView() {
  if (view_version == picture_version) return 1;
  ClipCounts counts;
  for (int eye = 0; eye < showneyes; eye++) {
    ClipCounts c;
    if (upload_bytes) {
      if (view_bytes[eye] == nullptr) view_bytes[eye] = (unsigned char *)malloc(DISPLAY_PIXEL_BYTES * npixels);
      if (view_bytes[eye] == nullptr) return 0;
      c = ClippingViewBytes(workers, ShownPicture(eye), eye == 1 ? out_bytes_right : out_bytes, npixels,
                            view_bytes[eye]);
    } else {
      if (view_floats[eye] == nullptr) view_floats[eye] = CreateFloatmap(header.width, header.height);
      if (view_floats[eye] == nullptr) return 0;
      c = ClippingViewFloats(workers, ShownPicture(eye), npixels, view_floats[eye]);
    }
    counts.white += c.white;
    counts.black += c.black;
  }
  view_counts = counts;
  view_version = picture_version;
  return 1;
}

// Counts the histograms of the pictures shown, if they have changed, and
// reads their records' statistics (16 bytes each, from the movie file).
void MakeHistograms() {
  if (histogram_version == picture_version) return;
  const int fd = fptr ? fileno(fptr) : -1;
  for (int eye = 0; eye < showneyes; eye++) {
    ComputeHistogram(workers, ShownPixels(eye), header.width, header.height, &histograms[eye]);
    const off_t at = (off_t)(MovieFrameOffset(header, currentframe) +
                             (uint64_t)eye * PictureRecordSize(header.width, header.height));
    statistics_read[eye] = fd >= 0 && pread(fd, statistics[eye], sizeof statistics[eye], at) == 16;
    if (statistics_read[eye] && byteswap) {
      SwapDouble(&statistics[eye][0]);
      SwapDouble(&statistics[eye][1]);
    }
  }
  histogram_version = picture_version;
}

// Draws in window pixels: x from the left, y from the bottom.
void BeginWindowPixels() {
  const int w = glutGet(GLUT_WINDOW_WIDTH), h = glutGet(GLUT_WINDOW_HEIGHT);
  glPushAttrib(GL_VIEWPORT_BIT);
  glViewport(0, 0, w, h);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0, w, 0, h, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
}

void EndWindowPixels() {
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
  glPopAttrib();
}

// A rectangle of window pixels [x0, x1) x [y0, y1) in one colour.
void Fill(int x0, int y0, int x1, int y1, unsigned char r, unsigned char g, unsigned char b) {
  glColor3ub(r, g, b);
  glRecti(x0, y0, x1, y1);
}

// The histogram's column of a scene luminance, or -1 for none.
int ColumnOf(double luminance) {
  if (!(luminance > 0.0) || !std::isfinite(luminance)) return -1;
  return HistogramBin(luminance);
}

// The histogram's picture: the backing with its margin, the plot inside.
constexpr int BOX_WIDTH = HISTOGRAM_BINS + 2 * HISTOGRAM_MARGIN;
constexpr int BOX_HEIGHT = HISTOGRAM_HEIGHT + 2 * HISTOGRAM_MARGIN;
unsigned char box[BOX_HEIGHT][BOX_WIDTH][3];

// Paints plot columns [from, to] over rows [0, rows) of the plot.
void Paint(int from, int to, int rows, unsigned char r, unsigned char g, unsigned char b) {
  for (int y = 0; y < rows; y++)
    for (int x = from; x <= to; x++) {
      unsigned char *p = box[HISTOGRAM_MARGIN + y][HISTOGRAM_MARGIN + x];
      p[0] = r;
      p[1] = g;
      p[2] = b;
    }
}

// Draws an eye's histogram in the top-right corner of its picture. It is
// painted into a small picture first and drawn with one call, which costs
// a software renderer far less than a rectangle for every bar.
void DrawHistogram(int eye) {
  for (auto &line : box)
    for (auto &pixel : line) pixel[0] = pixel[1] = pixel[2] = 16;
  // Without tone mapping: the scene luminances the exposure shows between
  // black (half an 8-bit step) and white (1), for a grey pixel.
  if (!tmo) {
    const double white = std::pow(2.0, -(double)exposure);
    const int from = ColumnOf(CLIP_HALF_STEP * white), to = ColumnOf(white);
    if (from >= 0 && to >= 0) Paint(from, to, HISTOGRAM_HEIGHT, 64, 64, 64);
  }
  const Histogram &h = histograms[eye];
  uint64_t most = 0;
  for (int b = 0; b < HISTOGRAM_BINS; b++)
    if (h.counts[b] > most) most = h.counts[b];
  for (int b = 0; b < HISTOGRAM_BINS && most > 0; b++) {
    if (h.counts[b] == 0) continue;
    // Scaled to the fullest bin, rounded; a bin with any pixel shows.
    uint64_t rows = (h.counts[b] * HISTOGRAM_HEIGHT + most / 2) / most;
    if (rows == 0) rows = 1;
    Paint(b, b, (int)rows, 200, 200, 200);
  }
  // Marks, a column each over the whole plot: the record's log-average
  // (yellow) and maxLum (orange); with tone mapping the normaliser it is
  // mapped with, the adapted log-average (cyan).
  auto mark = [](double luminance, unsigned char r, unsigned char g, unsigned char b) {
    const int c = ColumnOf(luminance);
    if (c >= 0) Paint(c, c, HISTOGRAM_HEIGHT, r, g, b);
  };
  if (statistics_read[eye]) {
    mark(statistics[eye][1], 255, 255, 0);
    mark(statistics[eye][0], 255, 128, 0);
  }
  if (tmo) {
    double adapted = eye == 1 ? logAv0_right : logAv0, peak = 0.0;
    if (lookahead) LookAheadNormaliser(eye, currentframe, &adapted, &peak);
    mark(adapted, 0, 255, 255);
  }

  // A margin away from the picture's top and right edges; the part that
  // falls off the window's left or bottom edge is left out (a raster
  // position outside the window would draw nothing at all).
  int column, row;
  PictureOrigin(eye, &column, &row);
  const int x0 = column + header.width - HISTOGRAM_MARGIN - BOX_WIDTH;
  const int y0 = row + header.height - HISTOGRAM_MARGIN - BOX_HEIGHT;
  const int skipx = x0 < 0 ? -x0 : 0, skipy = y0 < 0 ? -y0 : 0;
  if (skipx >= BOX_WIDTH || skipy >= BOX_HEIGHT) return;
  glPixelStorei(GL_UNPACK_ROW_LENGTH, BOX_WIDTH);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, skipx);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, skipy);
  glRasterPos2i(x0 + skipx, y0 + skipy);
  glDrawPixels(BOX_WIDTH - skipx, BOX_HEIGHT - skipy, GL_RGB, GL_UNSIGNED_BYTE, box);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
}

void DrawTimeline() {
  const int w = glutGet(GLUT_WINDOW_WIDTH);
  const int filled = TimelineFilled(currentframe, w, header.nframes);
  Fill(0, 0, filled, TIMELINE_HEIGHT, 255, 192, 0);
  Fill(filled, 0, w, TIMELINE_HEIGHT, 48, 48, 48);
}

std::string Percent(uint64_t count) {
  char text[32];
  snprintf(text, sizeof text, "%.2f%%", 100.0 * (double)count / ((double)npixels * showneyes));
  return text;
}

// "Clipping view: # 1 or more 1.20%, # black 0.35%", each # a swatch of
// the false colour.
void DrawLegend() {
  const std::string head = "Clipping view: ", white = " 1 or more " + Percent(view_counts.white) + ", ";
  const std::string black = " black " + Percent(view_counts.black);
  const std::string text = head + " " + white + " " + black;
  glColor4f(0, 1, 0, 1);
  DrawGLText(10, LEGEND_LINE, text.c_str());
  const int swatch1 = 10 + 8 * (int)head.size(), swatch2 = swatch1 + 8 * (1 + (int)white.size());
  BeginWindowPixels();
  Fill(swatch1, LEGEND_LINE, swatch1 + 7, LEGEND_LINE + 9, CLIP_WHITE_COLOUR[0], CLIP_WHITE_COLOUR[1],
       CLIP_WHITE_COLOUR[2]);
  Fill(swatch2, LEGEND_LINE, swatch2 + 7, LEGEND_LINE + 9, CLIP_BLACK_COLOUR[0], CLIP_BLACK_COLOUR[1],
       CLIP_BLACK_COLOUR[2]);
  EndWindowPixels();
  glColor4f(0, 1, 0, 1);
}

}  // namespace

void PictureToDraw(int eye, const float **picture, const unsigned char **bytes) {
  *picture = ShownPicture(eye);
  *bytes = eye == 1 ? out_bytes_right : out_bytes;
  if (!clipview) return;
  if (!MakeClippingView()) {
    fprintf(stderr, "No memory for the clipping view\n");
    clipview = 0;
    return;
  }
  if (upload_bytes)
    *bytes = view_bytes[eye];
  else
    *picture = view_floats[eye];
}

void DrawInspection() {
  if (!showhistogram && !showinfo) return;
  BeginWindowPixels();
  if (showhistogram) {
    MakeHistograms();
    for (int eye = 0; eye < showneyes; eye++) DrawHistogram(eye);
  }
  if (showinfo) DrawTimeline();
  EndWindowPixels();
  glColor4f(0, 1, 0, 1);
}

void DrawInspectInfo() {
  glColor4f(0, 1, 0, 1);
  if (pointer_inside) {
    const PictureSpot spot = LocatePicturePixel(pointer_x, pointer_y, glutGet(GLUT_WINDOW_HEIGHT));
    if (spot.inside) {
      const std::string text = ProbeText(spot, ProbePixel(spot));
      DrawGLText(10, PROBE_LINE, text.c_str());
      if (debug && text != last_probe) fprintf(stderr, "Probe: %s\n", text.c_str());
      last_probe = text;
    }
  }
  DrawGLText(10, MODE_LINE, PlayModeText().c_str());
  if (clipview) DrawLegend();
}
