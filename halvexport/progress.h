// halvexport's progress line on a terminal.
#ifndef HALVORN_PROGRESS_H
#define HALVORN_PROGRESS_H

#include <cstdint>
#include <string>

// The line's text after `seconds` of work: "Frame 12 of 48 (25%),
// 23.5 frames/s, 0:02 left".
std::string ProgressText(int64_t done, int64_t total, double seconds);

// Starts the clock; with `on` false nothing is ever shown.
void StartProgress(bool on);
// Rewrites the line for `done` frames of `total`, at most four times a second.
void ShowProgress(int64_t done, int64_t total);
// Removes the line, before a message takes its place.
void ClearProgress();
// Leaves the last line standing and ends it.
void EndProgress();

#endif
