#!/usr/bin/env bash
# Playback speed of halvview under Xvfb, from the player's own figures.
#
#   bench/halvview/playback.sh BUILD_DIR [seconds]
#
# Renders movies of 24 frames with halvdemo at 720x486, 1920x1080 and
# 3840x2160 into BUILD_DIR/playback/ (once; they are kept), then plays each
# with `halvview -d -a -fps 1000 [-t] -j N` for the given seconds (default
# 8; longer than that when the player has not yet reported) on a virtual X
# server, tone-mapped and plain, with one thread and with one per core, and
# prints the last Global and Local figures the player reported (Global
# counts from the start, window and first frame included; Local is the
# last 100 frames).
# Mesa's software rasteriser uses every core: run it on an idle machine.
set -euo pipefail
build=$(cd "${1:?usage: playback.sh BUILD_DIR [seconds]}" && pwd)
seconds=${2:-8}
work=$build/playback
mkdir -p "$work/bin"
# A stand-in for xgamma, so that no real display's gamma is touched.
printf '#!/bin/sh\nexit 0\n' > "$work/bin/xgamma"
chmod +x "$work/bin/xgamma"

movie() {  # name width height
  local dir=$work/$1
  if [ ! -f "$work/$1.hmv" ]; then
    mkdir -p "$dir"
    "$build/tools/halvdemo" -n 24 -x "$2" -y "$3" -p "$1" "$dir" > /dev/null
    (cd "$dir" && "$build/halvpack/halvpack" -x "$2" -y "$3" -i "$1.list" -o "../$1.hmv.part" 2> /dev/null)
    mv "$work/$1.hmv.part" "$work/$1.hmv"
    rm -rf "$dir"
  fi
}
movie sd 720 486
movie hd 1920 1080
movie uhd 3840 2160

Xvfb :97 -screen 0 3900x2200x24 -nolisten tcp > /dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2> /dev/null || true' EXIT
sleep 2
cores=$(nproc)

# Plays one movie for at least the given seconds and until the player has
# reported its figures (every 100 frames), at most five times as long.
play() {  # log args...
  local log=$1
  shift
  DISPLAY=:97 PATH=$work/bin:$PATH "$build/halvview/halvview" "$@" 2> "$log" &
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
}

printf '%-10s %-12s %8s %12s %12s\n' size mode threads "Global fps" "Local fps"
for m in sd hd uhd; do
  for mode in -t plain; do
    for j in 1 "$cores"; do
      args=(-d -a -fps 1000 -j "$j")
      [ "$mode" = -t ] && args+=(-t)
      log=$work/$m$mode-j$j.log
      play "$log" "${args[@]}" "$work/$m.hmv"
      line=$(grep 'Global' "$log" | tail -n 1 || true)
      global=$(echo "$line" | sed -n 's/.*Global: \([0-9.]*\) fps.*/\1/p')
      local_fps=$(echo "$line" | sed -n 's/.*Local \([0-9.]*\) fps.*/\1/p')
      printf '%-10s %-12s %8s %12s %12s\n' "$m" "${mode/-t/tone-mapped}" "$j" "${global:-none}" "${local_fps:-none}"
    done
  done
done
