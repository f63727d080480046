// A plain, unoptimised transcription of the player's decoding, tone mapping
// and pixel output, written from the description of the algorithms rather
// than from the player's code. The player's versions are tuned for speed;
// the tests compare them with these bit for bit, so every optimisation must
// keep the arithmetic exactly as described here.
//
// Everything is passed explicitly (no globals), one step after the other,
// with the clipped 3 x 3 blocks at the right and top edges handled by
// checking every cell against the picture's bounds.
#ifndef HALVORN_TESTS_HALVVIEW_REFERENCE_H
#define HALVORN_TESTS_HALVVIEW_REFERENCE_H

#include <cmath>
#include <cstddef>

namespace ref {

// RGBE pixels to float colours and exposure-scaled luminance.
inline void LoadFrame(const unsigned char *rgbe, size_t npixels, float exposure, double *lum,
                      float *flt) {
  double s = 1.0;
  if (exposure != 0.0f) s = std::pow(2.0, (double)exposure);
  for (size_t k = 0; k < npixels; k++) {
    const int r = rgbe[4 * k], g = rgbe[4 * k + 1], b = rgbe[4 * k + 2], e = rgbe[4 * k + 3];
    if (e != 0) {
      const double f = std::ldexp(1.0, e - 136);
      const double R = r * f, G = g * f, B = b * f;
      flt[3 * k] = (float)R;
      flt[3 * k + 1] = (float)G;
      flt[3 * k + 2] = (float)B;
      lum[k] = s * ((0.2126 * R + 0.7152 * G) + 0.0722 * B);
    } else {
      flt[3 * k] = flt[3 * k + 1] = flt[3 * k + 2] = 1e-6f;
      lum[k] = 1e-6;
    }
  }
}

// The rational approximation of ln(1 + Yw) below 2, the logarithm above.
inline double Pade(double Yw) {
  if (Yw < 1.0) return Yw * (6.0 + Yw) / (6.0 + 4.0 * Yw);
  if (Yw < 2.0) return Yw * (6.0 + 0.7662 * Yw) / (5.9897 + 3.7658 * Yw);
  return std::log(Yw + 1.0);
}

inline double Denominator(double Y, double Lwmax, double b, double divider) {
  return std::log(2.0 + 8.0 * std::pow(Y / Lwmax, b)) * divider;
}

// Adaptive logarithmic mapping of the first W x H values of lum, in place,
// normalised by `avLum` with the peak `maxLum`.
inline void TonemappingWith(double *lum, int W, int H, double maxLum, double avLum, float biasParam) {
  const double b = std::log((double)biasParam) * -1.4426954167009307;
  const double Lwmax = maxLum / avLum;
  const double divider = std::log10(Lwmax + 1.0);
  auto at = [&](int x, int y) -> double & { return lum[(size_t)y * W + x]; };
  auto inside = [&](int x, int y) { return x < W && y < H; };

  for (int y = 0; y < H; y += 3) {
    for (int x = 0; x < W; x += 3) {
      double sum = 0.0;
      int cells = 0;
      for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
          if (inside(x + c, y + r)) {
            at(x + c, y + r) = at(x + c, y + r) / avLum;
            sum += at(x + c, y + r);
            cells++;
          }
      const double mean = cells == 9 ? sum * 0.1111111111111111 : sum / cells;
      const double d = mean - at(x, y);
      const bool smooth = d > -1.0 && d < 1.0;
      double shared = 0.0;
      if (smooth) {
        const double Yc = inside(x + 1, y + 1) ? at(x + 1, y + 1) : at(x, y);
        shared = Denominator(Yc, Lwmax, b, divider);
      }
      for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
          if (inside(x + c, y + r)) {
            const double Yw = at(x + c, y + r);
            const double D = smooth ? shared : Denominator(Yw, Lwmax, b, divider);
            at(x + c, y + r) = Pade(Yw) * (1.0 / D);
          }
    }
  }
}

// The same with the causal normaliser: `adapted` is the smoothed
// log-average carried from frame to frame, moved halfway to logAv.
inline void Tonemapping(double *lum, int W, int H, double maxLum, double logAv, float biasParam,
                        double &adapted) {
  const double avLum = (adapted + logAv) * 0.5;
  adapted = avLum;
  TonemappingWith(lum, W, H, maxLum, avLum, biasParam);
}

// Gives every pixel its colour back around its display luminance.
inline void PixelOutTmo(const double *lum, const float *frame, size_t npixels, float *out) {
  for (size_t k = 0; k < npixels; k++) {
    const float c[3] = {frame[3 * k], frame[3 * k + 1], frame[3 * k + 2]};
    if (c[0] == 0.0f && c[1] == 0.0f && c[2] == 0.0f) {
      out[3 * k] = out[3 * k + 1] = out[3 * k + 2] = 0.0f;
      continue;
    }
    int m = 2;  // ties go to blue
    if (c[0] > c[1] && c[0] > c[2])
      m = 0;
    else if (c[1] > c[0] && c[1] > c[2])
      m = 1;
    if (c[m] == 0.0f) m = c[0] >= c[1] ? 0 : 1;  // a tie on a zero blue
    double ratio[3];
    for (int i = 0; i < 3; i++) ratio[i] = i == m ? 1.0 : (double)c[i] * (1.0 / (double)c[m]);
    const double Yn = 0.2126 * ratio[0] + 0.7152 * ratio[1] + 0.0722 * ratio[2];
    const double value = lum[k] / Yn;
    for (int i = 0; i < 3; i++) out[3 * k + i] = (float)(i == m ? value : ratio[i] * value);
  }
}

// Exposure only.
inline void PixelOut(const float *frame, size_t npixels, float exposure, float *out) {
  if (exposure == 0.0f) {
    for (size_t i = 0; i < 3 * npixels; i++) out[i] = frame[i];
    return;
  }
  const double factor = std::pow(2.0, (double)exposure);
  for (size_t i = 0; i < 3 * npixels; i++) out[i] = (float)(factor * (double)frame[i]);
}

}  // namespace ref

#endif
