// Turning a decoded frame into the displayable image: the adaptive
// logarithmic tone mapper with colour reconstruction, or plain exposure.
#include <cmath>

#include "halvview.h"

namespace {

// The mapping of a normalised luminance: rational approximations of
// ln(1 + Yw) below 2, the logarithm itself from 2 on.
inline double Pade(double Yw) {
  if (Yw < 1.0) return Yw * (6.0 + Yw) / (6.0 + 4.0 * Yw);
  if (Yw < 2.0) return Yw * (6.0 + 0.7662 * Yw) / (5.9897 + 3.7658 * Yw);
  return log(Yw + 1.0);
}

}  // namespace

double bias(double b, double x) { return pow(x, b); }

double SchlickBias(double t, float b) { return t / ((1.0 / b - 2.0) * (1.0 - t) + 1.0); }

void Tonemapping(double *lum, const float * /*frame*/, double maxLum, double logAvg, double *adapted) {
  const int W = header.width, H = header.height;
  const double b = log((double)biasParam) * -1.4426954167009307;
  double avLum = (*adapted + logAvg) * 0.5;
  // A corrupt record (NaN, infinite, zero or negative log-average) must not
  // spoil the adaptation of every frame after it: the adapted value is then
  // kept as it was, and this frame is mapped with it.
  if (std::isfinite(avLum) && avLum > 0.0)
    *adapted = avLum;
  else
    avLum = *adapted;
  const double Lwmax = maxLum / avLum;
  const double divider = log10(Lwmax + 1.0);

  // 3 x 3 blocks, clipped at the right and top edges when W or H is not a
  // multiple of 3, so every pixel is normalised and mapped exactly once.
  for (int y = 0; y < H; y += 3) {
    const int rows = H - y < 3 ? H - y : 3;
    double *blockrow = lum + (size_t)y * (size_t)W;
    for (int x = 0; x < W; x += 3) {
      const int cols = W - x < 3 ? W - x : 3;
      double *corner = blockrow + x;

      double sum = 0.0;
      for (int r = 0; r < rows; r++) {
        double *cell = corner + (size_t)r * (size_t)W;
        for (int c = 0; c < cols; c++) {
          cell[c] = cell[c] / avLum;
          sum += cell[c];
        }
      }
      const double mean = (rows == 3 && cols == 3) ? sum * 0.1111111111111111 : sum / (rows * cols);
      const double d = mean - corner[0];
      const bool smooth = -1.0 < d && d < 1.0;

      double invD = 0.0;
      if (smooth) {
        const double Yc = (rows > 1 && cols > 1) ? corner[(size_t)W + 1] : corner[0];
        invD = 1.0 / (log(2.0 + 8.0 * bias(b, Yc / Lwmax)) * divider);
      }
      for (int r = 0; r < rows; r++) {
        double *cell = corner + (size_t)r * (size_t)W;
        for (int c = 0; c < cols; c++) {
          const double Yw = cell[c];
          if (!smooth) invD = 1.0 / (log(2.0 + 8.0 * bias(b, Yw / Lwmax)) * divider);
          cell[c] = Pade(Yw) * invD;
        }
      }
    }
  }
}

void PixelOutTmo(const double *lum, const float *frame, float *out) {
  const size_t n = npixels;
  for (size_t k = 0; k < n; k++, frame += 3, out += 3) {
    const float R = frame[0], G = frame[1], B = frame[2];
    // The largest component; ties go to blue. A tie that picks a zero blue
    // (R = G > B = 0) would divide by zero, so the larger of red and green
    // serves there instead.
    int m;
    if (R > G && R > B)
      m = 0;
    else if (G > R && G > B)
      m = 1;
    else if (B > 0.0f)
      m = 2;
    else if (R > 0.0f || G > 0.0f)
      m = R >= G ? 0 : 1;
    else {  // no colour at all
      out[0] = out[1] = out[2] = 0.0f;
      continue;
    }
    const double inv = 1.0 / (double)frame[m];
    double ratio[3] = {R * inv, G * inv, B * inv};
    ratio[m] = 1.0;
    const double Yn = 0.2126 * ratio[0] + 0.7152 * ratio[1] + 0.0722 * ratio[2];
    const double v = lum[k] / Yn;
    out[0] = (float)(ratio[0] * v);
    out[1] = (float)(ratio[1] * v);
    out[2] = (float)(ratio[2] * v);
  }
}

void PixelOut(const float *frame, float *out) {
  const size_t n = 3 * npixels;
  if (exposure == 0.0f) {
    for (size_t i = 0; i < n; i++) out[i] = frame[i];
    return;
  }
  const double factor = pow(2.0, (double)exposure);
  for (size_t i = 0; i < n; i++) out[i] = (float)(factor * (double)frame[i]);
}
