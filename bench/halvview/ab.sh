#!/usr/bin/env bash
# Speed of two builds of halvview side by side, OLD and NEW taken in turns
# in one run, so that the machine's drift cancels out of the ratios.
#
#   bench/halvview/ab.sh OLD_BUILD NEW_BUILD [rounds] [seconds]
#
# (a) Playback: for each movie of playback.sh (720x486, 1920x1080,
#     3840x2160, made once under OLD_BUILD/playback/ by playback.sh's own
#     movie function) and tone-mapped and plain, every round plays
#     `halvview -d -a -fps 1000 [-t] MOVIE` of OLD then NEW (NEW then OLD
#     in the next round) for `seconds` (default 8; longer until the player
#     has reported, as playback.sh does) on a virtual X server, and takes
#     the last Global figure (frames per second, higher is faster).
# (b) halvview_frame_bench: every round runs OLD's then NEW's (the other way
#     round in the next) with the same filter and repetitions, and takes
#     each repetition's time per frame (ms, lower is faster), matched by
#     benchmark name.
# Rounds default to 3. The table gives per case the median of OLD and of
# NEW over all rounds (and repetitions), NEW/OLD of the medians, and the
# median of the ratios of the pairs run next to each other (the steadier
# figure on a drifting machine). For fps a ratio above 1 means NEW is
# faster; for ms, below 1.
#
# Environment:
#   AB_SIZES      playback movies, of sd hd uhd (default all three; empty: no playback)
#   AB_MODES      of tone-mapped plain (default both)
#   AB_PLAYER_ARGS more options for both players (e.g. "-cache 240M"; a
#                 player that does not know an option ignores it)
#   AB_FILTER     --benchmark_filter (default '^(tonemapped|plain)/'; empty: no frame bench)
#   AB_REPS       --benchmark_repetitions per run (default 3)
#   AB_BENCH_ARGS more arguments for halvview_frame_bench (e.g. "--threads 2")
#   AB_OUT        folder for the logs and raw figures (default: a new one in /tmp)
# Mesa's software rasteriser uses every core: run it on an idle machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage="usage: ab.sh OLD_BUILD NEW_BUILD [rounds] [seconds]"
old=$(cd "${1:?$usage}" && pwd)
new=$(cd "${2:?$usage}" && pwd)
rounds=${3:-3}
seconds=${4:-8}
sizes=${AB_SIZES-sd hd uhd}
modes=${AB_MODES-tone-mapped plain}
filter=${AB_FILTER-'^(tonemapped|plain)/'}
reps=${AB_REPS:-3}
read -r -a bench_args <<< "${AB_BENCH_ARGS:-}"
read -r -a player_args <<< "${AB_PLAYER_ARGS:-}"
out=${AB_OUT:-$(mktemp -d /tmp/halvview-ab.XXXXXX)}
mkdir -p "$out"
raw=$out/raw.tsv  # kind, case, build, round, value
: > "$raw"

for b in "$old" "$new"; do
  [ -x "$b/halvview/halvview" ] || { echo "ab.sh: no player in $b/halvview/halvview" >&2; exit 2; }
done

# playback.sh's movie making and playing, taken from it as they are (its
# fixed display :97 becomes this run's own).
defs=$(sed -n -e '/^movie() {/,/^}/p' -e '/^play() {/,/^}/p' "$here/playback.sh")
if ! grep -q '^movie() {' <<< "$defs" || ! grep -q '^play() {' <<< "$defs" ||
  ! grep -q 'DISPLAY=:97' <<< "$defs"; then
  echo "ab.sh: cannot find the movie and play functions in $here/playback.sh" >&2
  exit 2
fi
eval "${defs//DISPLAY=:97/DISPLAY=\$display}"

# The last Global figure a log of the player holds (as playback.sh reads it).
global_fps() {
  grep 'Global' "$1" | tail -n 1 | sed -n 's/.*Global: \([0-9.]*\) fps.*/\1/p'
}

# Round r runs OLD first when r is odd, NEW first when it is even.
order() {
  if [ $(($1 % 2)) -eq 1 ]; then echo "old new"; else echo "new old"; fi
}
dir_of() { if [ "$1" = old ]; then echo "$old"; else echo "$new"; fi; }

xvfb=
cleanup() {
  if [ -n "$xvfb" ]; then kill "$xvfb" 2> /dev/null || true; wait "$xvfb" 2> /dev/null || true; fi
}
trap cleanup EXIT

echo "ab.sh: OLD $old, NEW $new, $rounds rounds; logs and raw figures in $out" >&2

# ---- (a) Playback ----------------------------------------------------------
if [ -n "$sizes" ]; then
  build=$old
  work=$old/playback
  mkdir -p "$work/bin"
  # A stand-in for xgamma, so that no real display's gamma is touched.
  printf '#!/bin/sh\nexit 0\n' > "$work/bin/xgamma"
  chmod +x "$work/bin/xgamma"
  for m in $sizes; do
    case $m in
      sd) movie sd 720 486 ;;
      hd) movie hd 1920 1080 ;;
      uhd) movie uhd 3840 2160 ;;
      *) echo "ab.sh: unknown size $m (sd, hd, uhd)" >&2; exit 2 ;;
    esac
  done
  exec 3> "$out/display"
  Xvfb -displayfd 3 -screen 0 3900x2200x24 -nolisten tcp > "$out/xvfb.log" 2>&1 &
  xvfb=$!
  exec 3>&-
  for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
  [ -s "$out/display" ] || { echo "ab.sh: Xvfb did not start" >&2; cat "$out/xvfb.log" >&2; exit 2; }
  display=:$(head -n 1 "$out/display")
  for r in $(seq "$rounds"); do
    for m in $sizes; do
      for mode in $modes; do
        args=(-d -a -fps 1000 "${player_args[@]}")
        [ "$mode" = tone-mapped ] && args+=(-t)
        for which in $(order "$r"); do
          build=$(dir_of "$which")
          log=$out/$m-$mode-$which-$r.log
          play "$log" "${args[@]}" "$old/playback/$m.hmv"
          fps=$(global_fps "$log")
          printf 'fps\t%s %s\t%s\t%s\t%s\n' "$m" "$mode" "$which" "$r" "${fps:-nan}" >> "$raw"
          echo "round $r: $m $mode $which ${fps:-none} fps" >&2
        done
      done
    done
  done
  cleanup
  xvfb=
fi

# ---- (b) halvview_frame_bench ---------------------------------------------
if [ -n "$filter" ]; then
  for b in "$old" "$new"; do
    [ -x "$b/bench/halvview/halvview_frame_bench" ] ||
      { echo "ab.sh: no $b/bench/halvview/halvview_frame_bench (HALVORN_BENCH off?)" >&2; exit 2; }
  done
  for r in $(seq "$rounds"); do
    for which in $(order "$r"); do
      b=$(dir_of "$which")
      json=$out/bench-$which-$r.json
      "$b/bench/halvview/halvview_frame_bench" "--benchmark_filter=$filter" \
        "--benchmark_repetitions=$reps" --benchmark_out_format=json "--benchmark_out=$json" \
        "${bench_args[@]}" > "$out/bench-$which-$r.txt" 2>&1 ||
        { echo "ab.sh: the frame bench of $which failed:" >&2; tail "$out/bench-$which-$r.txt" >&2; exit 2; }
      # Every repetition's time, in the benchmark's unit (ms).
      python3 - "$json" "$which" "$r" >> "$raw" << 'EOF'
import json, sys
path, which, rnd = sys.argv[1:4]
with open(path) as f:
    data = json.load(f)
for b in data.get('benchmarks', []):
    if b.get('run_type', 'iteration') != 'iteration' or b.get('error_occurred'):
        continue
    name = b.get('run_name', b['name'])
    print('%s\t%s\t%s\t%s\t%r' % (b.get('time_unit', '?'), name, which, rnd, b['real_time']))
EOF
      echo "round $r: frame bench $which done" >&2
    done
  done
fi

# ---- The table -----------------------------------------------------------
python3 - "$raw" << 'EOF'
import math, statistics, sys
from collections import OrderedDict
rows = OrderedDict()  # (unit, case) -> {'old': [(round, v)], 'new': [...]}
with open(sys.argv[1]) as f:
    for line in f:
        unit, case, which, rnd, value = line.rstrip('\n').split('\t')
        v = float(value)
        if math.isnan(v):
            continue
        rows.setdefault((unit, case), {'old': [], 'new': []})[which].append((int(rnd), v))

def med(xs):
    return statistics.median(xs) if xs else float('nan')

print('%-40s %5s %10s %10s %9s %12s' % ('case', 'unit', 'OLD med', 'NEW med', 'NEW/OLD', 'paired med'))
for (unit, case), d in rows.items():
    o, n = [v for _, v in d['old']], [v for _, v in d['new']]
    # Pairs run next to each other: the same round, the same repetition.
    ratios = []
    rounds = sorted({r for r, _ in d['old']} & {r for r, _ in d['new']})
    for r in rounds:
        ov = [v for rr, v in d['old'] if rr == r]
        nv = [v for rr, v in d['new'] if rr == r]
        ratios += [b / a for a, b in zip(ov, nv) if a > 0]
    mo, mn = med(o), med(n)
    ratio = mn / mo if mo and not math.isnan(mo) else float('nan')
    print('%-40s %5s %10.4g %10.4g %9.3f %12.3f' % (case, unit, mo, mn, ratio, med(ratios)))
EOF
