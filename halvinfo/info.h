// halvinfo's shared pieces: one frame's row of figures, and the plot writer.
#ifndef HALVORN_INFO_H
#define HALVORN_INFO_H

#include <cstdint>
#include <string>
#include <vector>

// The figures of one eye of one frame, as the -frames table prints them.
struct FrameFigures {
  double maxLum, logAv;     // as stored
  double adapted_causal;    // the causal normaliser the player uses
  double adapted_lookahead; // the look-ahead normaliser (NaN: none)
  double peak_lookahead;    // the look-ahead peak (NaN: none)
  bool cut;                 // a segment starts at this frame (not frame 0)
};

// Writes the plot of every eye's figures (figures[eye][frame]) to `path` as
// a self-contained SVG: logAv, maxLum and the adapted curves against the
// frame number on a logarithmic axis, cuts marked. The file appears under
// its name only when it was written whole. Returns 0, or -1 (errno set).
int WritePlot(const std::string &path, const std::string &moviename, int radius,
              const std::vector<std::vector<FrameFigures>> &figures);

#endif
