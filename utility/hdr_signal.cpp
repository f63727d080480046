// The PQ and HLG curves and the primaries matrices, in double precision.
#include "hdr_signal.h"

#include <cmath>

namespace {

// The PQ curve's constants, exact binary fractions.
constexpr double M1 = 2610.0 / 16384.0;
constexpr double M2 = 2523.0 / 4096.0 * 128.0;
constexpr double C1 = 3424.0 / 4096.0;
constexpr double C2 = 2413.0 / 4096.0 * 32.0;
constexpr double C3 = 2392.0 / 4096.0 * 32.0;

// The HLG curve's constants.
constexpr double HLG_A = 0.17883277;
constexpr double HLG_B = 1.0 - 4.0 * HLG_A;
const double HLG_C = 0.5 - HLG_A * std::log(4.0 * HLG_A);

double Clamp01(double v) { return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0; }  // NaN to 0

}  // namespace

// From the primaries' and the white's chromaticities: RGB to XYZ of one set
// of primaries, then XYZ to RGB of the other, to 15 digits.
const double BT709_TO_BT2020[3][3] = {
    {0.627403895934699, 0.329283038377884, 0.043313065687417},
    {0.069097289358232, 0.919540395075459, 0.011362315566309},
    {0.016391438875150, 0.088013307877226, 0.895595253247624},
};
const double BT2020_TO_BT709[3][3] = {
    {1.660491002108435, -0.587641138788550, -0.072849863319885},
    {-0.124550474521591, 1.132899897125960, -0.008349422604369},
    {-0.018150763354905, -0.100578898008007, 1.118729661362913},
};

double PqEncode(double nits) {
  const double y = std::pow(Clamp01(nits / PQ_PEAK), M1);
  return std::pow((C1 + C2 * y) / (1.0 + C3 * y), M2);
}

double PqDecode(double signal) {
  const double e = std::pow(Clamp01(signal), 1.0 / M2);
  const double num = e - C1;
  return num > 0.0 ? PQ_PEAK * std::pow(num / (C2 - C3 * e), 1.0 / M1) : 0.0;
}

double HlgEncode(double scene) {
  const double e = Clamp01(scene);
  if (e <= 1.0 / 12.0) return std::sqrt(3.0 * e);
  return HLG_A * std::log(12.0 * e - HLG_B) + HLG_C;
}

double HlgDecode(double signal) {
  const double s = Clamp01(signal);
  if (s <= 0.5) return s * s / 3.0;
  return Clamp01((std::exp((s - HLG_C) / HLG_A) + HLG_B) / 12.0);
}

void HlgDisplayLight(const double scene[3], double display[3]) {
  const double ys = 0.2627 * scene[0] + 0.6780 * scene[1] + 0.0593 * scene[2];
  const double gain = ys > 0.0 ? HLG_DISPLAY_PEAK * std::pow(ys, HLG_SYSTEM_GAMMA - 1.0) : 0.0;
  for (int i = 0; i < 3; i++) display[i] = gain * scene[i];
}
