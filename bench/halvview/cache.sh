#!/usr/bin/env bash
# Playback from the frame cache against drawing alone, and the memory the
# cache takes.
#
#   bench/halvview/cache.sh BUILD_DIR [seconds] [warm-up seconds]
#
# For the 1920x1080 and 3840x2160 movies of playback.sh (CACHE_SIZES: of
# hd uhd, default both) (24 frames each,
# made once under BUILD_DIR/playback/), tone-mapped, look-ahead and plain:
# plays `halvview -d -a -fps 1000 [-t] [-A] -cache SIZE MOVIE` on a virtual
# X server with the default cache (the whole movie fits) and with
# `-cache 0`, lets it loop for the warm-up (default 20 s; the causal
# adaptation repeats itself within a few loops), restarts the timing figures
# with `g g` (xdotool), plays on for `seconds` (default 15; longer until the
# player has reported) and takes the last Global figure. Then
# halvview_draw_bench's BGRA upload at both sizes: the rate of drawing
# converted pictures and nothing else, 24 of them in turn as playback draws
# them (the figure playback from the cache approaches) and one again and
# again (faster: the GL library keeps what it made of the last picture). Last, the peak resident size (VmHWM) of the 3840x2160 movie
# played tone-mapped with -cache 1G and with -cache 0 (the fixed buffers).
# Mesa's software rasteriser uses every core: run it on an idle machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: cache.sh BUILD_DIR [seconds] [warm-up seconds]}" && pwd)
seconds=${2:-15}
warmup=${3:-20}
work=$build/playback
mkdir -p "$work/bin"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/xgamma"
chmod +x "$work/bin/xgamma"
eval "$(sed -n '/^movie() {/,/^}/p' "$here/playback.sh")"
movie hd 1920 1080
movie uhd 3840 2160

out=$(mktemp -d /tmp/halvview-cache.XXXXXX)
exec 3> "$out/display"
Xvfb -displayfd 3 -screen 0 3900x2200x24 -nolisten tcp > "$out/xvfb.log" 2>&1 &
xvfb=$!
exec 3>&-
trap 'kill $xvfb 2> /dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
display=:$(head -n 1 "$out/display")

# Plays, restarts the timing after the warm-up, and prints the last Global
# figure and the peak resident size in KiB.
play() {  # log args...
  local log=$1
  shift
  DISPLAY=$display PATH=$work/bin:$PATH "$build/halvview/halvview" "$@" 2> "$log" &
  local player=$!
  sleep "$warmup"
  DISPLAY=$display xdotool search --sync --name Halvscope windowfocus --sync key g g > /dev/null 2>&1 || true
  local waited=0 restarted
  restarted=$(grep -c Global "$log" || true)
  while kill -0 $player 2> /dev/null; do
    sleep 1
    waited=$((waited + 1))
    if { [ $waited -ge "$seconds" ] && [ "$(grep -c Global "$log" || true)" -gt "$restarted" ]; } ||
      [ $waited -ge $((5 * seconds)) ]; then
      break
    fi
  done
  local hwm
  hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' /proc/$player/status 2> /dev/null || true)
  kill -TERM $player 2> /dev/null || true
  wait $player 2> /dev/null || true
  local fps
  fps=$(grep 'Global' "$log" | tail -n 1 | sed -n 's/.*Global: \([0-9.]*\) fps.*/\1/p' || true)
  echo "${fps:-none} ${hwm:-none}"
}

printf '%-6s %-12s %-10s %12s\n' size mode cache "Global fps"
for m in ${CACHE_SIZES:-hd uhd}; do
  for mode in tone-mapped look-ahead plain; do
    args=(-d -a -fps 1000)
    [ "$mode" != plain ] && args+=(-t)
    [ "$mode" = look-ahead ] && args+=(-A)
    for cache in default 0; do
      extra=()
      [ "$cache" = 0 ] && extra=(-cache 0)
      read -r fps _ < <(play "$out/$m-$mode-$cache.log" "${args[@]}" "${extra[@]}" "$work/$m.hmv")
      printf '%-6s %-12s %-10s %12s\n' "$m" "$mode" "$cache" "$fps"
    done
  done
done

echo
echo "Drawing alone (halvview_draw_bench, BGRA; /1: one picture again and again, /24: 24 in turn):"
DISPLAY=$display "$build/bench/halvview/halvview_draw_bench" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true '--benchmark_filter=bgra/(1920|3840)' 2> /dev/null |
  grep -E 'median' || true

echo
echo "Peak resident size, 3840x2160 tone-mapped:"
for cache in 1G 0; do
  read -r _ hwm < <(play "$out/uhd-rss-$cache.log" -d -a -fps 1000 -t -cache "$cache" "$work/uhd.hmv")
  echo "  -cache $cache: VmHWM $hwm KiB"
done
echo "logs in $out"
