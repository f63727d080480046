#!/usr/bin/env bash
# HDR10 export speed against today's 16-bit export, alternated in one run.
#
#   bench/halvexport/hdr10.sh BUILD_DIR [MOVIE] [rounds]
#
# Without MOVIE, uses the 1920 x 1080 movie of rendered frames that
# export.sh makes (BUILD_DIR/playback/hd.hmv; made here the same way when
# missing). Each round times, one after the other, the 16-bit PNG export
# and the -pq 1000 PNG export, tone-mapped and plain, and the 16-bit PPM
# stream against the -pq stream, all with one thread per core; the rounds
# (default 5) alternate so that a change in the machine's load falls on
# both. Prints each variant's median frames per second, the median of the
# per-round ratios PQ / 16-bit, the same ratio of processor time a frame
# (user + system, all threads; 16-bit / PQ, so that above 1 is faster
# too), which a loaded machine disturbs far less, and the load average
# before and after.
# ONLY_PLAIN=1 times the plain PNG export alone.
set -euo pipefail
build=$(cd "${1:?usage: hdr10.sh BUILD_DIR [MOVIE] [rounds]}" && pwd)
rounds=${3:-5}
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
out=$(mktemp -d "$work/hdr10.XXXXXX")
trap 'rm -rf "$out"' EXIT
cat "$movie" > /dev/null  # into the page cache

fps() {  # args...: frames per second and processor seconds of one export
  rm -f "$out"/*
  local t0 t1 cpu
  t0=$(date +%s.%N)
  cpu=$( { /usr/bin/time -f "%U %S" "$exporter" -q "$@" > /dev/null; } 2>&1 | tail -1)
  t1=$(date +%s.%N)
  echo "$t0 $t1 $cpu" | awk -v n="$frames" '{printf "%.3f %.3f\n", n / ($2 - $1), $3 + $4}'
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

echo "movie: $movie ($frames frames), $rounds rounds, $(nproc) cores"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-24s %12s %12s %14s %14s\n' variant "16-bit f/s" "-pq f/s" "ratio pq/16" "cpu 16/pq"
compare() {  # label, then the 16-bit arguments, --, the -pq arguments
  local label=$1 base=() pq=() a b
  shift
  while [ "$1" != -- ]; do base+=("$1"); shift; done
  shift
  pq=("$@")
  local as=() bs=() ratios=() cpus=()
  for _ in $(seq "$rounds"); do
    a=$(fps "${base[@]}")
    b=$(fps "${pq[@]}")
    as+=("${a% *}") bs+=("${b% *}")
    ratios+=("$(echo "$a $b" | awk '{printf "%.3f", $3 / $1}')")
    cpus+=("$(echo "$a $b" | awk '{printf "%.3f", $2 / $4}')")
  done
  printf '%-24s %12s %12s %14s %14s\n' "$label" "$(printf '%s\n' "${as[@]}" | median)" \
    "$(printf '%s\n' "${bs[@]}" | median)" "$(printf '%s\n' "${ratios[@]}" | median)" \
    "$(printf '%s\n' "${cpus[@]}" | median)"
}
[ -z "${ONLY_PLAIN:-}" ] && compare "png tone-mapped" -t -depth 16 "$movie" "$out/f_%05d.png" -- -t -pq 1000 "$movie" "$out/f_%05d.png"
compare "png plain" -depth 16 "$movie" "$out/f_%05d.png" -- -pq 1000 "$movie" "$out/f_%05d.png"
[ -z "${ONLY_PLAIN:-}" ] && compare "ppm stream tone-mapped" -t -depth 16 "$movie" - -- -t -pq 1000 "$movie" -
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
