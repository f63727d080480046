#!/usr/bin/env bash
# See Halvorn work in one command: installs what is needed, builds the
# programs, renders a short HDR sunset sequence, packs it into a movie with
# halvpack and plays it with halvview, tone-mapped, looping, with the
# information overlay.
#
#   ./tools/demo.sh            mono movie
#   ./tools/demo.sh --stereo   stereo pairs, shown side by side
#
# With a display (DISPLAY set) the player opens its window; quit with q.
# Without one the movie plays for a few seconds on a virtual X server (Xvfb)
# and a screenshot is saved as build/demo/screenshot.png.
#
# HALVORN_BUILD_DIR chooses another build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

stereo=0
case "${1:-}" in
  "") ;;
  --stereo) stereo=1 ;;
  -h | --help)
    sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "demo.sh: unknown argument \"$1\" (try --help)" >&2
    exit 2
    ;;
esac

build=${HALVORN_BUILD_DIR:-build}
demo=$build/demo

./tools/install-deps.sh

# A fresh build directory gets only the programs; an existing one keeps its
# settings (one configured by hand may hold the tests too).
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DHALVORN_TESTS=OFF -DHALVORN_BENCH=OFF
fi
cmake --build "$build" -j"$(nproc)" --target halvpack halvview halvdemo

case $build in
  /*) top=$build ;;
  *) top=$PWD/$build ;;
esac
halvpack=$top/halvpack/halvpack
halvview=$top/halvview/halvview
mkdir -p "$demo"

# The pictures, the list and the movie. The list names the pictures relative
# to the demo directory, so halvpack runs there.
if [ "$stereo" = 1 ]; then
  name=stereo
  "$build/tools/halvdemo" -s -p "$name" "$demo"
  eyes=2
else
  name=demo
  "$build/tools/halvdemo" -p "$name" "$demo"
  eyes=1
fi
movie=$demo/$name.hmv
echo "Packing $demo/$name.list into $movie (halvpack's messages: $demo/halvpack.log)"
if ! (cd "$demo" && "$halvpack" -x 720 -y 486 -e "$eyes" -i "$name.list" -o "$name.hmv") \
  2>"$demo/halvpack.log" || grep -q -- '----- Failed' "$demo/halvpack.log"; then
  cat "$demo/halvpack.log" >&2
  echo "demo.sh: halvpack failed" >&2
  exit 1
fi
tail -n 1 "$demo/halvpack.log"

if [ -n "${DISPLAY:-}" ]; then
  echo "Playing $movie: q quits, h shows the keys, t toggles tone mapping."
  exec "$halvview" -t -a -i "$movie"
fi

# ---- No display: play on a virtual X server and take a screenshot. ----
tmp=$(mktemp -d)
xvfb_pid=
player_pid=
cleanup() {
  if [ -n "$player_pid" ] && kill -0 "$player_pid" 2>/dev/null; then kill -TERM "$player_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then kill -TERM "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Polls a command up to a number of tenths of a second, until it succeeds;
# a command that returns 2 has given up.
wait_for() {
  local tenths=$1 rc
  shift
  for _ in $(seq "$tenths"); do
    rc=0
    "$@" >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 0 ] && return 0
    [ "$rc" -eq 2 ] && return 1
    sleep 0.1
  done
  return 1
}

# Whether a child process has ended (gone, or a zombie not yet waited for).
ended() {
  [ ! -e "/proc/$1/stat" ] || [ "$(sed 's/^.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]
}

# The player sets the display gamma with xgamma at start and at exit; here a
# no-op stands in for it, so that no real display is touched.
mkdir "$tmp/bin"
printf '#!/bin/sh\nexit 0\n' >"$tmp/bin/xgamma"
chmod +x "$tmp/bin/xgamma"
export PATH="$tmp/bin:$PATH"

# Xvfb picks a free display number and writes it to fd 3 once it is ready.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
if ! wait_for 100 test -s "$tmp/display"; then
  cat "$tmp/xvfb.log" >&2
  echo "demo.sh: Xvfb did not start" >&2
  exit 1
fi
DISPLAY=":$(head -n 1 "$tmp/display")"
export DISPLAY
if ! wait_for 100 xwininfo -root; then
  cat "$tmp/xvfb.log" >&2
  echo "demo.sh: the virtual display $DISPLAY does not answer" >&2
  exit 1
fi
echo "No DISPLAY: playing $movie on the virtual display $DISPLAY"

# GLUT's own -geometry option puts the window in the screen's corner: without
# a window manager it would sit at (-1,-1), a pixel off the screen. The
# player then gives the window its own size.
"$halvview" -geometry 720x486+0+0 -t -a -i "$movie" 2>"$tmp/player.log" &
player_pid=$!
window_up() {
  ended "$player_pid" && return 2  # gave up: stop waiting
  xwininfo -name Halvscope
}
if ! wait_for 300 window_up; then
  cat "$tmp/player.log" "$tmp/xvfb.log" >&2
  echo "demo.sh: the player's window did not appear" >&2
  exit 1
fi
sleep 2  # let it play a while

# The window's place on the screen, then the screenshot cut to it.
info=$(xwininfo -name Halvscope)
geom() { echo "$info" | sed -n "s/^ *$1: *\(-\{0,1\}[0-9]*\).*/\1/p"; }
x=$(geom "Absolute upper-left X")
y=$(geom "Absolute upper-left Y")
w=$(geom "Width")
h=$(geom "Height")
shot=$demo/screenshot.png
import -window root -crop "${w}x${h}+${x}+${y}" +repage "$shot"

# End the player: the q key if xdotool is there, else SIGTERM; both make it
# end cleanly.
if command -v xdotool >/dev/null; then
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) key q 2>/dev/null || true
fi
if ! wait_for 50 ended "$player_pid"; then
  kill -TERM "$player_pid" 2>/dev/null || true
fi
status=0
wait "$player_pid" || status=$?
player_pid=
if [ "$status" -ne 0 ]; then
  cat "$tmp/player.log" >&2
  echo "demo.sh: the player ended with status $status" >&2
  exit 1
fi
kill -TERM "$xvfb_pid" 2>/dev/null || true
wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=

echo "Screenshot of the player (${w}x${h}): $shot"
