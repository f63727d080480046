#!/usr/bin/env bash
# Compares what two builds of halvview show, pixel for pixel, playing the
# same key sequences under Xvfb (one player after the other), and their
# standard error (-d) without the timing lines.
#
#   tools/compare_players.sh OLD_BUILD NEW_BUILD [--work DIR] [--case NAME]... [--settle S] [--retries N] [--list]
#
# One line per case: "same", or "DIFFERENT (...)" with the number of
# differing pixels and the first one (window coordinates, after which key).
# The screens that differ are saved as PNG in the work folder. Exit status:
# 0 all the same, 1 something differs, 2 the comparison could not run.
# Needs python3, Xvfb, xdotool, xwininfo and ImageMagick (import, convert);
# a stand-in xgamma comes first on PATH, so no real display is touched.
set -euo pipefail
exec python3 "$(dirname "$0")/compare_players.py" "$@"
