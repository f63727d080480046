#!/usr/bin/env bash
# halvpack -s against the same pictures from a file list, alternated in one
# run.
#
#   bench/halvpack/stream.sh BUILD_DIR [pictures] [rounds]
#
# Renders `pictures` (default 24) frames of 1920 x 1080 with halvdemo as
# Radiance pictures, and as many PFM pictures of ffmpeg's test pattern when
# ffmpeg is installed (ffmpeg 5.1 reads no Radiance pictures), into
# BUILD_DIR/halvpack-stream (kept). Each round packs every
# set from its file list and from a pipe (cat of the files into halvpack
# -s), one after the other, with the default workers, the movie on /dev/shm
# when there is one; the rounds (default 5) alternate so that a change in
# the machine's load falls on both. Prints each way's median pictures per
# second, the median of the per-round ratios stream / list, the same ratio
# of processor time (user + system of every process, cat included; list /
# stream), which a loaded machine disturbs far less, and the load average
# before and after.
set -euo pipefail
build=$(cd "${1:?usage: stream.sh BUILD_DIR [pictures] [rounds]}" && pwd)
count=${2:-24}
rounds=${3:-5}
halvpack=$build/halvpack/halvpack
work=$build/halvpack-stream
if [ ! -f "$work/hd.list" ]; then
  mkdir -p "$work"
  "$build/tools/halvdemo" -n "$count" -x 1920 -y 1080 -p hd "$work" > /dev/null
fi
sets=(hdr)
if command -v ffmpeg > /dev/null; then
  if [ ! -f "$work/pfm.list" ]; then
    ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=24 -frames:v "$count" \
      -c:v pfm -pix_fmt gbrpf32le -f image2 "$work/hd_%03d.pfm"
    (cd "$work" && ls hd_*.pfm > pfm.list)
  fi
  sets+=(pfm)
fi
(cd "$work" && ls hd_*.hdr > hdr.list)
for set in "${sets[@]}"; do
  [ -f "$work/all.$set" ] || (cd "$work" && xargs cat < "$set.list" > "all.$set")
done
out=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "$work")/halvpack-stream.XXXXXX")
trap 'rm -rf "$out"' EXIT
cat "$work"/hd_* "$work"/all.* > /dev/null  # into the page cache

seconds() {  # way set: the wall-clock and the processor seconds of one run
  local t0 t1 cpu
  t0=$(date +%s.%N)
  cpu=$(/usr/bin/time -f "%U %S" bash -c \
    "$(declare -f "$1"); halvpack=$halvpack work=$work out=$out $1 $2 > /dev/null 2>&1" 2>&1 | tail -1)
  t1=$(date +%s.%N)
  echo "$t0 $t1 $cpu" | awk '{printf "%.4f %.4f\n", $2 - $1, $3 + $4}'
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
from_list() { (cd "$work" && "$halvpack" -x 1920 -y 1080 -i "$1.list" -o "$out/list.hmv"); }
from_pipe() { (cd "$work" && xargs cat < "$1.list" | "$halvpack" -s -x 1920 -y 1080 -o "$out/stream.hmv"); }
from_file() { "$halvpack" -s -x 1920 -y 1080 -o "$out/stream.hmv" < "$work/all.$1"; }

echo "pictures: $work ($(wc -l < "$work/hdr.list") of 1920 x 1080 a set), $rounds rounds, $(nproc) cores"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-12s %14s %14s %18s %14s\n' "set, way" "list pic/s" "-s pic/s" "ratio -s/list" "cpu list/-s"
for run in "${sets[@]/%/ pipe}" "${sets[@]/%/ file}"; do
  set=${run% *} way=from_${run#* }
  n=$(wc -l < "$work/$set.list")
  as=() bs=() ratios=() cpus=()
  for _ in $(seq "$rounds"); do
    a=$(seconds from_list "$set")
    b=$(seconds "$way" "$set")
    as+=("$(echo "$a" | awk -v n="$n" '{printf "%.2f", n / $1}')")
    bs+=("$(echo "$b" | awk -v n="$n" '{printf "%.2f", n / $1}')")
    ratios+=("$(echo "$a $b" | awk '{printf "%.3f", $1 / $3}')")
    cpus+=("$(echo "$a $b" | awk '{printf "%.3f", $2 / $4}')")
  done
  cmp -s "$out/list.hmv" "$out/stream.hmv" || echo "$run: the two movies differ" >&2
  printf '%-12s %14s %14s %18s %14s\n' "$run" "$(printf '%s\n' "${as[@]}" | median)" \
    "$(printf '%s\n' "${bs[@]}" | median)" "$(printf '%s\n' "${ratios[@]}" | median)" \
    "$(printf '%s\n' "${cpus[@]}" | median)"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
