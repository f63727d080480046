// The plot of a movie's statistics: a self-contained SVG with one panel per
// eye, written to a temporary file beside the target and renamed into place.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "info.h"

namespace {

// The picture from the top: the title, the legend under it, then a panel
// per eye, each its label, the plot area and the frame axis under it, the
// last one ending at the picture's bottom edge.
constexpr double plot_width = 1000, left_edge = 80, right_edge = 980;
constexpr double title_y = 18, legend_y = 36;  // text baselines
constexpr double panels_top = 48;              // the first panel, under the legend
constexpr double label_height = 22, area_height = 320, axis_height = 44;
constexpr double panel_height = label_height + area_height + axis_height;
constexpr double bottom_margin = 4;

struct Curve {
  const char *name;     // the column's name, also the path's id
  const char *colour;
  const char *dash;     // stroke-dasharray, or null
  double FrameFigures::*value;
};

// Drawn in this order, and so listed in the legend. The adapted values
// follow logAv closely and often cover it: logAv comes last, on top, dashed
// so that the lines under it show through its gaps.
constexpr Curve curves[] = {
    {"maxLum", "#ff7f0e", nullptr, &FrameFigures::maxLum},
    {"adapted_causal", "#2ca02c", nullptr, &FrameFigures::adapted_causal},
    {"adapted_lookahead", "#d62728", nullptr, &FrameFigures::adapted_lookahead},
    {"peak_lookahead", "#9467bd", "6,3", &FrameFigures::peak_lookahead},
    {"logAv", "#1f77b4", "4,2", &FrameFigures::logAv},
};

void Append(std::string *out, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n > 0) out->append(text, (size_t)n < sizeof text ? (size_t)n : sizeof text - 1);
}

// Text for an XML element or attribute.
std::string Escape(const std::string &text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if ((unsigned char)c < 0x20 && c != '\t' && c != '\n') out += '?';
        else out += c;
    }
  }
  return out;
}

bool Plottable(double v) { return std::isfinite(v) && v > 0.0; }

// Where a panel's values go: frames left to right, values up a logarithmic
// axis over whole decades.
struct Scale {
  double top, bottom;  // of the plot area
  double lo, hi;       // the decades at the bottom and the top
  double span;         // the frames across, less one
  double X(double k) const { return left_edge + (right_edge - left_edge) * k / span; }
  double Y(double v) const { return bottom - area_height * (std::log10(v) - lo) / (hi - lo); }
};

// The scale of eye's panel: the decades that hold every value that can be
// drawn.
Scale PanelScale(int eye, const std::vector<FrameFigures> &rows) {
  Scale s;
  s.top = panels_top + eye * panel_height + label_height;
  s.bottom = s.top + area_height;
  s.lo = INFINITY, s.hi = -INFINITY;
  for (const FrameFigures &row : rows)
    for (const Curve &c : curves)
      if (Plottable(row.*c.value)) {
        s.lo = std::fmin(s.lo, std::floor(std::log10(row.*c.value)));
        s.hi = std::fmax(s.hi, std::ceil(std::log10(row.*c.value)));
      }
  if (!(s.lo <= s.hi)) s.lo = -1, s.hi = 1;  // nothing to draw: an empty axis
  if (s.hi == s.lo) s.hi = s.lo + 1;
  s.span = rows.size() > 1 ? (double)(rows.size() - 1) : 1.0;
  return s;
}

// The panel's label, its frame, the decades and the frame axis.
void PanelAxes(std::string *svg, int eye, int eyes, const Scale &s) {
  Append(svg, "<text class=\"label\" x=\"%g\" y=\"%g\" font-weight=\"bold\">%s</text>\n", left_edge, s.top - 7,
         eyes == 2 ? (eye == 0 ? "Left eye (eye 0)" : "Right eye (eye 1)") : "Eye 0");
  Append(svg, "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"none\" stroke=\"#888\"/>\n", left_edge,
         s.top, right_edge - left_edge, area_height);
  // Decades, labelled as powers of ten; at most about a dozen labels.
  const int step = (int)std::ceil((s.hi - s.lo) / 12.0);
  for (double d = s.lo; d <= s.hi; d += step) {
    const double y = s.bottom - area_height * (d - s.lo) / (s.hi - s.lo);
    Append(svg, "<line class=\"decade\" x1=\"%g\" y1=\"%.2f\" x2=\"%g\" y2=\"%.2f\" stroke=\"#ddd\"/>\n", left_edge, y,
           right_edge, y);
    Append(svg, "<text x=\"%g\" y=\"%.2f\" text-anchor=\"end\">1e%g</text>\n", left_edge - 6, y + 4, d);
  }
  // Frame numbers: about ten ticks at round steps.
  double tick = 1;
  for (int i = 1; s.span / tick > 10; i++) tick = (i % 3 == 0 ? 1 : i % 3 == 1 ? 2 : 5) * std::pow(10.0, i / 3);
  for (double k = 0; k <= s.span; k += tick) {
    Append(svg, "<line x1=\"%.2f\" y1=\"%g\" x2=\"%.2f\" y2=\"%g\" stroke=\"#888\"/>\n", s.X(k), s.bottom, s.X(k),
           s.bottom + 5);
    Append(svg, "<text x=\"%.2f\" y=\"%g\" text-anchor=\"middle\">%g</text>\n", s.X(k), s.bottom + 18, k);
  }
  Append(svg, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">frame</text>\n", (left_edge + right_edge) / 2,
         s.bottom + 34);
}

// Cuts: half-way between the frames they separate.
void PanelCuts(std::string *svg, int eye, const Scale &s, const std::vector<FrameFigures> &rows) {
  Append(svg, "<g id=\"cuts-eye%d\" stroke=\"#555\" stroke-dasharray=\"2,3\">\n", eye);
  for (size_t k = 1; k < rows.size(); k++)
    if (rows[k].cut)
      Append(svg, "<line class=\"cut\" data-frame=\"%zu\" x1=\"%.2f\" y1=\"%g\" x2=\"%.2f\" y2=\"%g\"/>\n", k,
             s.X(k - 0.5), s.top, s.X(k - 0.5), s.bottom);
  svg->append("</g>\n");
}

// The curves; a value that cannot be drawn (NaN, 0 or below) breaks the line.
void PanelCurves(std::string *svg, int eye, const Scale &s, const std::vector<FrameFigures> &rows) {
  for (const Curve &c : curves) {
    Append(svg, "<path id=\"%s-eye%d\" class=\"curve\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"%s%s%s d=\"",
           c.name, eye, c.colour, c.dash ? " stroke-dasharray=\"" : "", c.dash ? c.dash : "", c.dash ? "\"" : "");
    bool drawing = false;
    for (size_t k = 0; k < rows.size(); k++) {
      const double v = rows[k].*c.value;
      if (!Plottable(v)) {
        drawing = false;
        continue;
      }
      Append(svg, "%s%.2f %.2f ", drawing ? "L" : "M", s.X((double)k), s.Y(v));
      drawing = true;
    }
    svg->append("\"/>\n");
  }
}

// One eye's panel: decades, frame ticks, cuts and the curves.
void Panel(std::string *svg, int eye, int eyes, const std::vector<FrameFigures> &rows) {
  const Scale s = PanelScale(eye, rows);
  Append(svg, "<g id=\"eye%d\">\n", eye);
  PanelAxes(svg, eye, eyes, s);
  PanelCuts(svg, eye, s, rows);
  PanelCurves(svg, eye, s, rows);
  svg->append("</g>\n");
}

}  // namespace

int WritePlot(const std::string &path, const std::string &moviename, int radius,
              const std::vector<std::vector<FrameFigures>> &figures) {
  const int eyes = (int)figures.size();
  const double height = panels_top + eyes * panel_height + bottom_margin;
  std::string svg;
  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  Append(&svg,
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" "
         "font-family=\"sans-serif\" font-size=\"12\">\n",
         plot_width, height, plot_width, height);
  svg += "<title>" + Escape(moviename) + ": statistics and adaptation</title>\n";
  Append(&svg, "<rect width=\"%g\" height=\"%g\" fill=\"white\"/>\n", plot_width, height);
  Append(&svg, "<text x=\"%g\" y=\"%g\" font-size=\"14\">", left_edge, title_y);
  svg += Escape(moviename);
  Append(&svg, " (look-ahead window %d frames each side; dotted lines: cuts)</text>\n", radius);
  // The legend, on one line under the title.
  double x = left_edge;
  svg += "<g id=\"legend\">\n";
  for (const Curve &c : curves) {
    Append(&svg, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"%s\" stroke-width=\"2\"%s%s%s/>\n", x,
           legend_y - 4, x + 24, legend_y - 4, c.colour, c.dash ? " stroke-dasharray=\"" : "", c.dash ? c.dash : "",
           c.dash ? "\"" : "");
    Append(&svg, "<text x=\"%g\" y=\"%g\">%s</text>\n", x + 28, legend_y, c.name);
    x += 175;
  }
  svg += "</g>\n";
  for (int eye = 0; eye < eyes; eye++) Panel(&svg, eye, eyes, figures[(size_t)eye]);
  svg += "</svg>\n";

  // Written beside the target and renamed: never a partial plot under its name.
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(&temp[0]);
  if (fd < 0) return -1;
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE *file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int e = errno;
    close(fd);
    unlink(temp.c_str());
    errno = e;
    return -1;
  }
  const bool written = fwrite(svg.data(), 1, svg.size(), file) == svg.size();
  const bool closed = fclose(file) == 0;
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    unlink(temp.c_str());
    errno = e;
    return -1;
  }
  return 0;
}
