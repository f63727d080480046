#!/usr/bin/env bash
# Memory check of both programs under valgrind (not part of the suite: it
# takes about a minute). Usage: tests/robustness/valgrind_runs.sh BUILD_DIR
#   1. halvpack on a list of sound and broken pictures, one eye and two;
#   2. halvview under Xvfb (stand-in xgamma) on a tone-mapped movie with a
#      corrupt record: steps, toggles, the overlays, then 'q' through xdotool.
# Prints valgrind's summaries; the full logs stay in the work folder shown.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/halvorn-valgrind-XXXXXX)
cd "$work"
echo "work folder: $work"

python3 - "$here" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
from hostile import grey_picture, movie_header, picture_header, picture_record, rle_scanline
g = rle_scanline(16, (128, 128, 128, 129))
files = {
    "good.hdr": grey_picture(16, 16),
    "orange.hdr": grey_picture(16, 16, (200, 100, 50, 130)),
    "cut.hdr": grey_picture(16, 16)[:80],
    "badwidth.hdr": picture_header(16, 16) + g + bytes([2, 2, 0, 17]) + g[4:] + g * 14,
    "countzero.hdr": picture_header(16, 16) + g + bytes([2, 2, 0, 16, 144, 128, 0, 128]) + g[8:] + g * 14,
    "flat.hdr": picture_header(16, 16) + bytes([128, 64, 32, 129]) * 256,
}
for name, data in files.items():
    open(name, "wb").write(data)
open("list1.txt", "w").write("good.hdr\norange.hdr extra words\ncut.hdr\nbadwidth.hdr\n"
                             "countzero.hdr\nflat.hdr\nmissing.hdr\n\n")
open("list2.txt", "w").write("good.hdr orange.hdr\nflat.hdr cut.hdr\n")
W = H = 64
records = [picture_record(W, H, 2.0, 0.5), picture_record(W, H, 4.0, 1.0, (200, 100, 50, 128)),
           picture_record(W, H, float("nan"), float("nan")),
           picture_record(W, H, 2.0, 0.5, (10, 200, 30, 127))]
open("play.mov", "wb").write(movie_header(W, H, 4) + b"".join(records))
PY

summary() { grep -E "ERROR SUMMARY|in use at exit|definitely lost:|indirectly lost:|possibly lost:|still reachable:" "$1" || true; }

for eyes in 1 2; do
  valgrind --leak-check=full --show-leak-kinds=all --num-callers=30 \
    "$build/halvpack/halvpack" -x 16 -y 16 -e $eyes -i list$eyes.txt -o out$eyes.mov \
    > pack$eyes.log 2>&1 || echo "halvpack -e $eyes status $?"
  echo "== halvpack -e $eyes"; summary pack$eyes.log
done

mkdir -p bin
printf '#!/bin/sh\necho "$@" >> "%s/xgamma.log"\n' "$work" > bin/xgamma
chmod +x bin/xgamma
exec 5> displayfd
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -noreset 2>/dev/null &
xvfb=$!
exec 5>&-
for _ in $(seq 100); do grep -q '^[0-9]' displayfd && break; sleep 0.1; done
export DISPLAY=":$(cat displayfd)" PATH="$work/bin:$PATH"
valgrind --leak-check=full --show-leak-kinds=all --num-callers=30 \
  "$build/halvview/halvview" -t play.mov > view.log 2>&1 &
player=$!
window=
for _ in $(seq 1200); do
  window=$(xdotool search --onlyvisible --name '^Halvscope$' 2>/dev/null | head -1) || true
  [ -n "$window" ] && break
  sleep 0.1
done
sleep 5
for key in period t period period comma 1 i h period q; do
  xdotool windowfocus --sync "$window" key "$key"
  sleep 2
done
status=0
wait $player || status=$?
kill $xvfb
echo "== halvview (status $status; gamma calls: $(tr '\n' ' ' < xgamma.log))"
summary view.log
