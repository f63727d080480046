// Comparing two movies, or one movie under two sets of settings: side A is
// the view's session, side B a second session with its own movie,
// settings, adaptation state, frame cache and read-ahead, on the same
// worker pool. This is the compare state (the view, which sides the keys
// act on, the swap, the wipe line, the eye) and the rules over it: the
// frame B shows for A's, moving both sides, the settings keys, the
// difference picture and its ramp, and the overlay's lines. GL-free.
#ifndef HALVORN_COMPARE_H
#define HALVORN_COMPARE_H

#include <string>

#include "probe.h"
#include "session.h"

// The views, in the order 'v' cycles them.
enum CompareView { VIEW_WIPE, VIEW_SIDE_BY_SIDE, VIEW_DIFFERENCE, VIEW_TOGGLE };
// Which sides the settings keys act on, in the order Tab cycles them.
enum KeySides { KEYS_BOTH, KEYS_A, KEYS_B };

struct CompareState {
  CompareView view = VIEW_WIPE;
  KeySides keys = KEYS_BOTH;
  int swapped = 0;       // 'x': B where A goes and A where B goes
  int wipe_column = -1;  // the wipe line's picture column; -1: the middle
  int eye = 0;           // the eye both sides show of a stereo pair ('e')
};

void CycleCompareView(CompareState *state);
void CycleKeySides(CompareState *state);
void SwapSides(CompareState *state);
// 'e': the other eye of a pair (nothing for one eye).
void ChooseOtherEye(CompareState *state, int eyes);

// The side (0 A, 1 B) drawn at `place`: 0 the left part of the wipe, the
// left picture side by side, the picture the toggle shows and the
// difference's reference; 1 the other.
int SideAt(const CompareState &state, int place);
// The wipe line's column in a picture `width` pixels wide: the picture's
// columns left of it show the side at place 0, those right of it the other.
int WipeColumn(const CompareState &state, int width);
// Moves the wipe line to picture column `column`, kept inside the picture.
void MoveWipe(CompareState *state, int column, int width);
// Pictures across the window: 2 side by side, else 1.
int PicturesAcross(const CompareState &state);

// ---- One frame number for both sides ---------------------------------------

// The frame a movie of `nframes` frames shows for frame `frame` of the
// other: the same, or its last frame for the frames it lacks.
int AlignedFrame(int frame, int nframes);
// The side whose movie is longer (B only when strictly longer): its
// stepping, seeking, loop modes and direction move both sides.
int LeadingSide(const Session &a, const Session &b);
// Shows on `other` the frame aligned with the frame `lead` shows, by a
// step when it is the next or the one before (or frame 0, or the frame it
// shows, when its settings have changed since), else by a seek; `other`
// plays as `lead` does. Returns 0 when it cannot be read (the
// messages of a failed step or seek printed), else 1.
int FollowLead(const Session &lead, Session *other);

// ---- The settings keys ------------------------------------------------------

enum SettingChange {
  EXPOSURE_UP,         // '+'
  EXPOSURE_UP_FINE,    // shift '+'
  EXPOSURE_DOWN,       // '-'
  EXPOSURE_DOWN_FINE,  // shift '-'
  BIAS_UP,             // page up, up to 0.98
  BIAS_DOWN,           // page down, down to 0.72
  TOGGLE_TONEMAP,      // 't'
  TOGGLE_LOOKAHEAD,    // 'a'
};
void ChangeSetting(RenderSettings *settings, SettingChange change);
// The change on the sides the keys act on; `b` is null without a side B,
// and the change then goes to `a` whatever the keys say.
void ChangeSettings(KeySides keys, SettingChange change, RenderSettings *a, RenderSettings *b);

// ---- The difference view ----------------------------------------------------

// Stops at which the ramp's colour is full.
constexpr double DIFFERENCE_FULL_STOPS = 4.0;
// log2 of `lum_b` over `lum_a`: 0 when both are equal (zero too), and the
// full stops either way when one of them is zero.
double DifferenceStops(double lum_a, double lum_b);
// The ramp's colour for `stops`: black at 0, blue rising to full at
// -DIFFERENCE_FULL_STOPS (B darker), red rising to full at
// +DIFFERENCE_FULL_STOPS (B brighter), in proportion between.
void DifferenceColour(double stops, float rgb[3]);
// The stops of a raw pixel's scene luminance (as the player decodes it)
// over another's, as the difference picture works them out: in single
// precision, within 1e-5 stops of DifferenceStops of their luminances
// clamped to the ramp's scale.
float DifferencePixelStops(const unsigned char first[4], const unsigned char second[4]);
// The difference picture of two records of n raw pixels (the stops of
// `second` over `first`, DifferencePixelStops, in the ramp's colours) into
// `out` (3 floats a pixel) and `bytes` (display bytes), each when not null.
// Shared out among the pool's threads, four pixels at a time, eight with
// `kernels` DIFFERENCE_AVX2 and sixteen with DIFFERENCE_AVX512, giving the
// same bits as one pixel at a time.
enum DifferenceKernels { DIFFERENCE_SSE2 = 0, DIFFERENCE_AVX2 = 1, DIFFERENCE_AVX512 = 2 };
void MakeDifference(WorkerPool *pool, int kernels, const unsigned char *first, const unsigned char *second, size_t n,
                    float *out, unsigned char *bytes);
// The widest difference kernels a session with conversion settings' `avx`
// may use on this processor.
int ChooseDifferenceKernels(int avx);
// The legend's text around its swatches: "Difference B/A: " then a swatch
// per stop from -DIFFERENCE_FULL_STOPS to +DIFFERENCE_FULL_STOPS, then the
// scale.
std::string DifferenceLegendHead(const CompareState &state);
std::string DifferenceLegendTail();

// ---- The overlay and the probe ----------------------------------------------

// A side's settings: "A: Exposure 1.0, Bias 0.85, tone mapping, look-ahead".
std::string SideSettingsText(const Session &session, int side);
// The compare line: "Compare: wipe, keys act on both[, swapped]".
std::string CompareText(const CompareState &state);
// The probe's line for a side: "A " or "B " before ProbeText, the pixel of
// the eye the sides show.
std::string CompareProbeText(const Session &session, int side, const PictureSpot &spot);

#endif
