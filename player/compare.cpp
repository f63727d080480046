// Comparing two sides: the compare state's keys, one frame number for both
// sides, the settings keys on the chosen sides, the difference picture and
// the overlay's lines.
#include "compare.h"

#include <cmath>
#include <cstdio>

#include "pool.h"

void CycleCompareView(CompareState *state) { state->view = (CompareView)((state->view + 1) % 4); }

void CycleKeySides(CompareState *state) { state->keys = (KeySides)((state->keys + 1) % 3); }

void SwapSides(CompareState *state) { state->swapped = !state->swapped; }

void ChooseOtherEye(CompareState *state, int eyes) {
  if (eyes == 2) state->eye = 1 - state->eye;
}

int SideAt(const CompareState &state, int place) { return (place != 0) != (state.swapped != 0) ? 1 : 0; }

int WipeColumn(const CompareState &state, int width) {
  return state.wipe_column < 0 ? width / 2 : state.wipe_column;
}

void MoveWipe(CompareState *state, int column, int width) {
  state->wipe_column = column < 0 ? 0 : column > width ? width : column;
}

int PicturesAcross(const CompareState &state) { return state.view == VIEW_SIDE_BY_SIDE ? 2 : 1; }

int AlignedFrame(int frame, int nframes) {
  if (frame > nframes - 1) frame = nframes - 1;
  return frame < 0 ? 0 : frame;
}

int LeadingSide(const Session &a, const Session &b) {
  return b.movie.header.nframes > a.movie.header.nframes ? 1 : 0;
}

int FollowLead(const Session &lead, Session *other) {
  // The other side reads ahead the frames the lead plays next.
  other->autoplay = lead.autoplay;
  other->playdir = lead.playdir;
  other->looptype = lead.looptype;
  const int target = AlignedFrame(lead.currentframe, other->movie.header.nframes);
  const int cur = other->currentframe;
  int ok;
  if (target == cur && other->shown->number == cur && SameSettings(other->shown->settings, other->settings)) {
    ok = 1;  // its last frame stays on screen for the frames it lacks
  } else if (target == 0 || target == cur + 1 || target == cur - 1) {
    ok = HandleNextFrame(other, target);
  } else {
    ok = SeekToFrame(other, target);
  }
  other->autoplay = lead.autoplay;
  other->playdir = lead.playdir;
  return ok;
}

void ChangeSetting(RenderSettings *s, SettingChange change) {
  switch (change) {
    case EXPOSURE_UP:
      s->exposure += 1.0;
      break;
    case EXPOSURE_UP_FINE:
      s->exposure += 0.1;
      break;
    case EXPOSURE_DOWN:
      s->exposure -= 1.0;
      break;
    case EXPOSURE_DOWN_FINE:
      s->exposure -= 0.1;
      break;
    case BIAS_UP:
      if (s->biasParam < 0.98) s->biasParam += 0.02;
      break;
    case BIAS_DOWN:
      if (s->biasParam > 0.72) s->biasParam -= 0.02;
      break;
    case TOGGLE_TONEMAP:
      s->tmo = s->tmo == 0 ? 1 : 0;
      break;
    case TOGGLE_LOOKAHEAD:
      s->lookahead = s->lookahead == 0 ? 1 : 0;
      break;
  }
}

void ChangeSettings(KeySides keys, SettingChange change, RenderSettings *a, RenderSettings *b) {
  if (b == nullptr || keys != KEYS_B) ChangeSetting(a, change);
  if (b != nullptr && keys != KEYS_A) ChangeSetting(b, change);
}

double DifferenceStops(double lum_a, double lum_b) {
  if (lum_a == lum_b) return 0.0;
  if (!(lum_a > 0.0)) return DIFFERENCE_FULL_STOPS;
  if (!(lum_b > 0.0)) return -DIFFERENCE_FULL_STOPS;
  return std::log2(lum_b / lum_a);
}

void DifferenceColour(double stops, float rgb[3]) {
  double t = std::fabs(stops) / DIFFERENCE_FULL_STOPS;
  if (t > 1.0) t = 1.0;
  rgb[0] = stops > 0.0 ? (float)t : 0.0f;
  rgb[1] = 0.0f;
  rgb[2] = stops < 0.0 ? (float)t : 0.0f;
}

void MakeDifference(WorkerPool *pool, const unsigned char *first, const unsigned char *second, size_t n, float *out,
                    unsigned char *bytes) {
  ParallelChunks(pool, n, PIXEL_GRAIN, [=](size_t begin, size_t end) {
    for (size_t k = begin; k < end; k++) {
      float a[3], b[3];
      DecodePlayerPixel(first + 4 * k, a);
      DecodePlayerPixel(second + 4 * k, b);
      float *rgb = out + 3 * k;
      DifferenceColour(DifferenceStops(PixelLuminance(a), PixelLuminance(b)), rgb);
      if (bytes == nullptr) continue;
      unsigned char *p = bytes + DISPLAY_PIXEL_BYTES * k;
      p[0] = DisplayByte(rgb[2]);
      p[1] = DisplayByte(rgb[1]);
      p[2] = DisplayByte(rgb[0]);
      p[3] = 255;
    }
  });
}

std::string DifferenceLegendHead(const CompareState &state) {
  return state.swapped ? "Difference A/B: " : "Difference B/A: ";
}

std::string DifferenceLegendTail() {
  char text[64];
  snprintf(text, sizeof text, " -%g to +%g stops, black equal", DIFFERENCE_FULL_STOPS, DIFFERENCE_FULL_STOPS);
  return text;
}

std::string SideSettingsText(const Session &s, int side) {
  char text[160];
  snprintf(text, sizeof text, "%c: Exposure %.1f, Bias %.2f%s%s, frame %d", side == 0 ? 'A' : 'B',
           s.settings.exposure + 1, s.settings.biasParam, s.settings.tmo ? ", tone mapping" : "",
           s.settings.lookahead ? ", look-ahead" : "", s.currentframe);
  return text;
}

std::string CompareText(const CompareState &state) {
  static const char *const views[] = {"wipe", "side by side", "difference", "toggle"};
  static const char *const keys[] = {"both", "A", "B"};
  std::string text = std::string("Compare: ") + views[state.view] + ", keys act on " + keys[state.keys];
  if (state.view == VIEW_TOGGLE) text += SideAt(state, 0) == 0 ? ", showing A" : ", showing B";
  if (state.swapped) text += ", swapped";
  return text;
}

std::string CompareProbeText(const Session &session, int side, const PictureSpot &spot) {
  return std::string(side == 0 ? "A " : "B ") + ProbeText(session, spot, ProbePixel(session, spot));
}
