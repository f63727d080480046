#!/usr/bin/env bash
# Export speed of halvexport on a movie of rendered frames.
#
#   bench/halvexport/export.sh BUILD_DIR [MOVIE] [runs]
#
# Without MOVIE, renders 24 frames of 1920 x 1080 with halvdemo and packs
# them into BUILD_DIR/playback/hd.hmv (once; kept, and shared with
# bench/halvview/playback.sh). Then times each way of exporting the whole
# movie `runs` times (default 5) with one thread and with one per core:
# the PPM stream to /dev/null tone-mapped and plain, and PNG files of 8 and
# 16 bits tone-mapped, into a scratch folder on the build's file system.
# Prints the median and the best wall-clock frames per second and the
# processor milliseconds per frame (user + system, all threads, of the
# median run), and the load average before and after: other work on the
# machine lowers the frame rates, hardly the processor time.
set -euo pipefail
build=$(cd "${1:?usage: export.sh BUILD_DIR [MOVIE] [runs]}" && pwd)
runs=${3:-5}
exporter=$build/halvexport/halvexport
work=$build/playback
mkdir -p "$work"
if [ -n "${2:-}" ]; then
  movie=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
else
  movie=$work/hd.hmv
  if [ ! -f "$movie" ]; then
    mkdir -p "$work/hd"
    "$build/tools/halvdemo" -n 24 -x 1920 -y 1080 -p hd "$work/hd" > /dev/null
    (cd "$work/hd" && "$build/halvpack/halvpack" -x 1920 -y 1080 -i hd.list -o ../hd.hmv.part 2> /dev/null)
    mv "$work/hd.hmv.part" "$movie"
    rm -rf "$work/hd"
  fi
fi
frames=$(od -An -t d4 -j 8 -N 4 "$movie" | tr -d ' ')
size=$(od -An -t d2 -N 4 "$movie" | awk '{print $1 " x " $2}')
out=$(mktemp -d "$work/export.XXXXXX")
trap 'rm -rf "$out"' EXIT
cat "$movie" > /dev/null  # into the page cache

echo "movie: $movie ($size, $frames frames), $runs runs each, $(nproc) cores"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %7s %10s %10s %14s\n' mode threads "median f/s" "best f/s" "cpu ms/frame"
measure() {  # label threads args...
  local label=$1 threads=$2
  shift 2
  local results=()
  for _ in $(seq "$runs"); do
    rm -f "$out"/*
    local t0 t1 cpu
    t0=$(date +%s.%N)
    cpu=$( { /usr/bin/time -f '%U %S' "$exporter" -q -j "$threads" "$@" > /dev/null; } 2>&1 | tail -1)
    t1=$(date +%s.%N)
    results+=("$(echo "$t0 $t1 $cpu" | awk -v n="$frames" '{printf "%.3f %.2f\n", n / ($2 - $1), 1000 * ($3 + $4) / n}')")
  done
  printf '%s\n' "${results[@]}" | sort -n | awk -v label="$label" -v threads="$threads" '
    { fps[NR] = $1; cpu[NR] = $2 }
    END { m = int((NR + 1) / 2); printf "%-22s %7s %10.1f %10.1f %14.1f\n", label, threads, fps[m], fps[NR], cpu[m] }'
}
for threads in 1 "$(nproc)"; do
  measure "ppm tone-mapped" "$threads" -t "$movie" -
  measure "ppm plain" "$threads" "$movie" -
  measure "png 8-bit tone-mapped" "$threads" -t "$movie" "$out/f_%05d.png"
  measure "png 16-bit tone-mapped" "$threads" -t -depth 16 "$movie" "$out/f_%05d.png"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
