// Drawing what looks inside the picture: the clipping view in place of the
// picture, a histogram in the top-right corner of each eye's picture, the
// timeline bar, and the overlay lines of the probe, the playing mode and
// the clipping view's legend.
#include <GL/freeglut.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "lookahead.h"
#include "probe.h"
#include "utility.h"
#include "view.h"
#include "window_pixels.h"

namespace {

// Baselines of the overlay's added lines, stacked 13 pixels apart above
// the three lines of DrawInfo.
constexpr int PROBE_LINE = 49, MODE_LINE = 62, LEGEND_LINE = 75;

// The histogram's plot: a pixel column per bin, HISTOGRAM_HEIGHT rows,
// inside a dark backing with a margin.
constexpr int HISTOGRAM_HEIGHT = 64, HISTOGRAM_MARGIN = 4;

// Makes the clipping view for the pictures shown, if they have changed.
// Returns 0 when there is no memory for it (the view is then turned off).
int MakeClippingView(const Session &s, Inspection &in) {
  if (in.view_version == s.picture_version) return 1;
  const size_t n = s.movie.npixels;
  ClipCounts counts;
  for (int eye = 0; eye < ShownEyes(s); eye++) {
    ClipCounts c;
    if (s.settings.bytes) {
      if (in.view_bytes[eye] == nullptr) in.view_bytes[eye] = (unsigned char *)malloc(DISPLAY_PIXEL_BYTES * n);
      if (in.view_bytes[eye] == nullptr) return 0;
      c = ClippingViewBytes(s.pool, ShownPicture(s, eye), ShownBytes(s, eye), n, in.view_bytes[eye]);
    } else {
      if (in.view_floats[eye] == nullptr)
        in.view_floats[eye] = CreateFloatmap(s.movie.header.width, s.movie.header.height);
      if (in.view_floats[eye] == nullptr) return 0;
      c = ClippingViewFloats(s.pool, ShownPicture(s, eye), n, in.view_floats[eye]);
    }
    counts.white += c.white;
    counts.black += c.black;
  }
  in.view_counts = counts;
  in.view_version = s.picture_version;
  return 1;
}

// Counts the histograms of the pictures shown, if they have changed, and
// reads their records' statistics (16 bytes each, from the movie file).
void MakeHistograms(const Session &s, Inspection &in) {
  if (in.histogram_version == s.picture_version) return;
  for (int eye = 0; eye < ShownEyes(s); eye++) {
    ComputeHistogram(s.pool, ShownPixels(s, eye), s.movie.header.width, s.movie.header.height, &in.histograms[eye]);
    in.statistics_read[eye] =
        ReadRecordStatistics(s.movie, s.currentframe, eye, &in.statistics[eye][0], &in.statistics[eye][1]) == 2;
  }
  in.histogram_version = s.picture_version;
}

// The histogram's column of a scene luminance, or -1 for none.
int ColumnOf(double luminance) {
  if (!(luminance > 0.0) || !std::isfinite(luminance)) return -1;
  return HistogramBin(luminance);
}

// The histogram's picture: the backing with its margin, the plot inside.
constexpr int BOX_WIDTH = HISTOGRAM_BINS + 2 * HISTOGRAM_MARGIN;
constexpr int BOX_HEIGHT = HISTOGRAM_HEIGHT + 2 * HISTOGRAM_MARGIN;
struct HistogramBox {
  unsigned char pixels[BOX_HEIGHT][BOX_WIDTH][3];
};

// Paints plot columns [from, to] over rows [0, rows) of the plot.
void Paint(HistogramBox &box, int from, int to, int rows, unsigned char r, unsigned char g, unsigned char b) {
  for (int y = 0; y < rows; y++)
    for (int x = from; x <= to; x++) {
      unsigned char *p = box.pixels[HISTOGRAM_MARGIN + y][HISTOGRAM_MARGIN + x];
      p[0] = r;
      p[1] = g;
      p[2] = b;
    }
}

// Draws an eye's histogram in the top-right corner of its picture. It is
// painted into a small picture first and drawn with one call, which costs
// a software renderer far less than a rectangle for every bar.
void DrawHistogram(Session &s, const Inspection &in, int eye, int column, int row) {
  HistogramBox box;
  for (auto &line : box.pixels)
    for (auto &pixel : line) pixel[0] = pixel[1] = pixel[2] = 16;
  // Without tone mapping: the scene luminances the exposure shows between
  // black (half an 8-bit step) and white (1), for a grey pixel.
  if (!s.settings.tmo) {
    const double white = std::pow(2.0, -(double)s.settings.exposure);
    const int from = ColumnOf(CLIP_HALF_STEP * white), to = ColumnOf(white);
    if (from >= 0 && to >= 0) Paint(box, from, to, HISTOGRAM_HEIGHT, 64, 64, 64);
  }
  const Histogram &h = in.histograms[eye];
  uint64_t most = 0;
  for (int b = 0; b < HISTOGRAM_BINS; b++)
    if (h.counts[b] > most) most = h.counts[b];
  for (int b = 0; b < HISTOGRAM_BINS && most > 0; b++) {
    if (h.counts[b] == 0) continue;
    // Scaled to the fullest bin, rounded; a bin with any pixel shows.
    uint64_t rows = (h.counts[b] * HISTOGRAM_HEIGHT + most / 2) / most;
    if (rows == 0) rows = 1;
    Paint(box, b, b, (int)rows, 200, 200, 200);
  }
  // Marks, a column each over the whole plot: the record's log-average
  // (yellow) and maxLum (orange); with tone mapping the normaliser it is
  // mapped with, the adapted log-average (cyan).
  auto mark = [&box](double luminance, unsigned char r, unsigned char g, unsigned char b) {
    const int c = ColumnOf(luminance);
    if (c >= 0) Paint(box, c, c, HISTOGRAM_HEIGHT, r, g, b);
  };
  if (in.statistics_read[eye]) {
    mark(in.statistics[eye][1], 255, 255, 0);
    mark(in.statistics[eye][0], 255, 128, 0);
  }
  if (s.settings.tmo) {
    double adapted = s.adapted[eye == 1 ? 1 : 0], peak = 0.0;
    if (s.settings.lookahead)
      LookAheadNormaliser(&s.statistics, eye, s.currentframe, s.settings.radius, &adapted, &peak);
    mark(adapted, 0, 255, 255);
  }

  // A margin away from the picture's top and right edges; the part that
  // falls off the window's left or bottom edge is left out (a raster
  // position outside the window would draw nothing at all).
  const int x0 = column + s.movie.header.width - HISTOGRAM_MARGIN - BOX_WIDTH;
  const int y0 = row + s.movie.header.height - HISTOGRAM_MARGIN - BOX_HEIGHT;
  const int skipx = x0 < 0 ? -x0 : 0, skipy = y0 < 0 ? -y0 : 0;
  if (skipx >= BOX_WIDTH || skipy >= BOX_HEIGHT) return;
  glPixelStorei(GL_UNPACK_ROW_LENGTH, BOX_WIDTH);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, skipx);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, skipy);
  glRasterPos2i(x0 + skipx, y0 + skipy);
  glDrawPixels(BOX_WIDTH - skipx, BOX_HEIGHT - skipy, GL_RGB, GL_UNSIGNED_BYTE, box.pixels);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
}

void DrawTimeline(const Session &s) {
  const int w = glutGet(GLUT_WINDOW_WIDTH), nframes = s.movie.header.nframes;
  const int filled = TimelineFilled(s.currentframe, w, nframes);
  FillWindowRect(0, 0, filled, TIMELINE_HEIGHT, 255, 192, 0);
  FillWindowRect(filled, 0, w, TIMELINE_HEIGHT, 48, 48, 48);
  // The frames held in the cache: the bar's top row over their columns.
  if (s.cache.capacity == 0) return;
  for (const std::unique_ptr<Frame> &frame : s.cache.made) {
    const int first = frame->number > 0 ? TimelineFilled(frame->number - 1, w, nframes) : 0;
    const int end = TimelineFilled(frame->number, w, nframes);
    FillWindowRect(first, TIMELINE_HEIGHT - 1, end > first ? end : first + 1, TIMELINE_HEIGHT, 0, 160, 255);
  }
}

std::string Percent(double pixels, uint64_t count) {
  char text[32];
  snprintf(text, sizeof text, "%.2f%%", 100.0 * (double)count / pixels);
  return text;
}

// "Clipping view: # 1 or more 1.20%, # black 0.35%", each # a swatch of
// the false colour.
}  // namespace

void DrawClipLegend(const ClipCounts &counts, double pixels) {
  const std::string head = "Clipping view: ", white = " 1 or more " + Percent(pixels, counts.white) + ", ";
  const std::string black = " black " + Percent(pixels, counts.black);
  const std::string text = head + " " + white + " " + black;
  glColor4f(0, 1, 0, 1);
  DrawGLText(10, LEGEND_LINE, text.c_str());
  const int swatch1 = 10 + 8 * (int)head.size(), swatch2 = swatch1 + 8 * (1 + (int)white.size());
  BeginWindowPixels();
  FillWindowRect(swatch1, LEGEND_LINE, swatch1 + 7, LEGEND_LINE + 9, CLIP_WHITE_COLOUR[0], CLIP_WHITE_COLOUR[1],
       CLIP_WHITE_COLOUR[2]);
  FillWindowRect(swatch2, LEGEND_LINE, swatch2 + 7, LEGEND_LINE + 9, CLIP_BLACK_COLOUR[0], CLIP_BLACK_COLOUR[1],
       CLIP_BLACK_COLOUR[2]);
  EndWindowPixels();
  glColor4f(0, 1, 0, 1);
}

int SidePictureToDraw(const Session &s, Inspection *in, int eye, int clipview, const float **picture,
                      const unsigned char **bytes) {
  *picture = ShownPicture(s, eye);
  *bytes = ShownBytes(s, eye);
  if (!clipview) return 1;
  if (!MakeClippingView(s, *in)) {
    fprintf(stderr, "No memory for the clipping view\n");
    return 0;
  }
  if (s.settings.bytes)
    *bytes = in->view_bytes[eye];
  else
    *picture = in->view_floats[eye];
  return 1;
}

void PictureToDraw(View *v, int eye, const float **picture, const unsigned char **bytes) {
  Session &s = v->session;
  if (!SidePictureToDraw(s, &v->inspection, eye, s.clipview, picture, bytes)) s.clipview = 0;
}

void DrawSideHistogram(Session &s, Inspection *in, int eye, int column, int row) {
  MakeHistograms(s, *in);
  DrawHistogram(s, *in, eye, column, row);
}

void DrawInspection(View *v) {
  const Session &s = v->session;
  if (!s.showhistogram && !s.showinfo) return;
  BeginWindowPixels();
  if (s.showhistogram && !v->side_b) {
    MakeHistograms(s, v->inspection);
    for (int eye = 0; eye < ShownEyes(s); eye++) {
      int column, row;
      PictureOrigin(s, eye, &column, &row);
      DrawHistogram(v->session, v->inspection, eye, column, row);
    }
  }
  if (s.showinfo) DrawTimeline(LeadSession(v));
  EndWindowPixels();
  glColor4f(0, 1, 0, 1);
}

void DrawInspectInfo(View *v) {
  const Session &s = v->session;
  glColor4f(0, 1, 0, 1);
  if (v->pointer_inside && !v->side_b) {
    const PictureSpot spot = LocatePicturePixel(s, v->pointer_x, v->pointer_y, glutGet(GLUT_WINDOW_HEIGHT));
    if (spot.inside) {
      const std::string text = ProbeText(s, spot, ProbePixel(s, spot));
      DrawGLText(10, PROBE_LINE, text.c_str());
      if (s.debug && text != v->inspection.last_probe) fprintf(stderr, "Probe: %s\n", text.c_str());
      v->inspection.last_probe = text;
    }
  }
  DrawGLText(10, MODE_LINE, PlayModeText(s).c_str());
  if (s.clipview && !v->side_b) DrawClipLegend(v->inspection.view_counts, (double)s.movie.npixels * ShownEyes(s));
  if (v->side_b) DrawCompareInfo(v);
}
