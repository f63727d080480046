#!/usr/bin/env bash
# Compare mode's playback speed against one movie alone, from the player's
# own figures under Xvfb.
#
#   bench/halvview/compare.sh BUILD_DIR [seconds] [rounds]
#
# Renders the 1920x1080 movie of playback.sh (24 frames, halvdemo) into
# BUILD_DIR/playback/ once, then plays it tone mapped with
# `halvview -d -a -fps 1000 -t` alone and with `-c` naming the same movie
# (the wipe view: both sides converted every frame), in turn, `rounds`
# times (default 3) for the given seconds each (default 8), and prints the
# last Global and Local figures of each run, the ratio of compare mode to
# the run alone before it, and the load before the runs. COMPARE_ARGS adds
# options to both (e.g. "-cache 0": every frame converted, none shown
# again from the frame cache).
# Mesa's software rasteriser uses every core: run it on an idle machine.
set -euo pipefail
build=$(cd "${1:?usage: compare.sh BUILD_DIR [seconds] [rounds]}" && pwd)
seconds=${2:-8}
rounds=${3:-3}
work=$build/playback
mkdir -p "$work/bin"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/xgamma"
chmod +x "$work/bin/xgamma"

if [ ! -f "$work/hd.hmv" ]; then
  mkdir -p "$work/hd"
  "$build/tools/halvdemo" -n 24 -x 1920 -y 1080 -p hd "$work/hd" > /dev/null
  (cd "$work/hd" && "$build/halvpack/halvpack" -x 1920 -y 1080 -i hd.list -o ../hd.hmv.part 2> /dev/null)
  mv "$work/hd.hmv.part" "$work/hd.hmv"
  rm -rf "$work/hd"
fi

Xvfb :96 -screen 0 3900x2200x24 -nolisten tcp > /dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2> /dev/null || true' EXIT
sleep 2

# Plays for the given seconds, and until the player has reported its
# figures (every 100 frames), at most five times as long; prints
# "global local".
play() {
  local log=$work/compare-run.log
  DISPLAY=:96 PATH=$work/bin:$PATH "$build/halvview/halvview" -d -a -fps 1000 -t ${COMPARE_ARGS:-} "$@" 2> "$log" &
  local player=$! waited=0
  while kill -0 $player 2> /dev/null; do
    sleep 1
    waited=$((waited + 1))
    if { [ $waited -ge "$seconds" ] && grep -q 'Global' "$log"; } || [ $waited -ge $((5 * seconds)) ]; then
      kill -TERM $player 2> /dev/null || true
      break
    fi
  done
  wait $player 2> /dev/null || true
  local line
  line=$(grep 'Global' "$log" | tail -n 1 || true)
  echo "$(echo "$line" | sed -n 's/.*Global: \([0-9.]*\) fps.*/\1/p') $(echo "$line" | sed -n 's/.*Local \([0-9.]*\) fps.*/\1/p')"
}

echo "load before: $(uptime)"
printf '%-6s %-8s %12s %12s %10s\n' round mode "Global fps" "Local fps" ratio
for r in $(seq 1 "$rounds"); do
  read -r g1 l1 < <(play "$work/hd.hmv")
  printf '%-6s %-8s %12s %12s %10s\n' "$r" alone "${g1:-none}" "${l1:-none}" ""
  read -r g2 l2 < <(play -c "$work/hd.hmv" "$work/hd.hmv")
  ratio=$(awk -v a="${g1:-0}" -v b="${g2:-0}" 'BEGIN { if (a > 0) printf "%.2f", b / a; else print "none" }')
  printf '%-6s %-8s %12s %12s %10s\n' "$r" compare "${g2:-none}" "${l2:-none}" "$ratio"
done
echo "load after: $(uptime)"
