// HDR video signals: the PQ transfer curve (absolute luminance up to
// 10,000 cd/m2), the HLG curve with its reference display mapping, and the
// matrices between linear BT.709 and BT.2020 primaries (both with the D65
// white). The exporter encodes with them and the builder decodes with them.
#ifndef HALVORN_HDR_SIGNAL_H
#define HALVORN_HDR_SIGNAL_H

// The luminance of a PQ signal of 1, in cd/m2.
constexpr double PQ_PEAK = 10000.0;

// The PQ signal in [0, 1] of a luminance in cd/m2 (clamped to [0, PQ_PEAK]).
double PqEncode(double nits);
// The luminance in cd/m2 of a PQ signal (clamped to [0, 1]).
double PqDecode(double signal);

// The HLG curve: a scene-linear value in [0, 1] to its signal in [0, 1]
// and back (each clamped to [0, 1]).
double HlgEncode(double scene);
double HlgDecode(double signal);

// The peak of the HLG reference display, cd/m2, and its system gamma.
constexpr double HLG_DISPLAY_PEAK = 1000.0;
constexpr double HLG_SYSTEM_GAMMA = 1.2;
// The light of the HLG reference display (black level 0) for scene-linear
// BT.2020 values in [0, 1]: each component times
// HLG_DISPLAY_PEAK x Ys^(gamma - 1), Ys the scene luminance. In cd/m2.
void HlgDisplayLight(const double scene[3], double display[3]);

// Linear RGB of one set of primaries into the other: out = M x in.
extern const double BT709_TO_BT2020[3][3];
extern const double BT2020_TO_BT709[3][3];
inline void ApplyMatrix(const double m[3][3], const double in[3], double out[3]) {
  for (int i = 0; i < 3; i++) out[i] = m[i][0] * in[0] + m[i][1] * in[1] + m[i][2] * in[2];
}

#endif
