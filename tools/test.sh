#!/usr/bin/env bash
# Installs what the tests need, builds from scratch with warnings as errors
# and runs every test; then builds again with the address and
# undefined-behaviour sanitizers and runs every test once more (a minute of
# monkey testing of the player among them); then runs the unit tests of the
# threaded code under ThreadSanitizer, and a minute of monkey testing of a
# player built with it; last, builds every fuzz target with clang and runs
# each a few seconds on its seeds. It builds in folders of its own
# (build-test, build-asan, build-tsan, build-tsan-view, build-fuzz) and
# leaves build/, the demo's, alone.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh test
jobs=$(nproc)

rm -rf build-test
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DHALVORN_WERROR=ON
cmake --build build-test -j"$jobs"
ctest --test-dir build-test --output-on-failure -j2

# Any sanitizer report fails its test (-fno-sanitize-recover). Leak detection
# is the sanitizers' default and stays on; only the player process turns it
# off for itself, as GLUT and Mesa leak in driver modules that no suppression
# can name (halvview/leak_options.cpp).
rm -rf build-asan
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Release -DHALVORN_WERROR=ON -DHALVORN_SANITIZE=ON \
  -DHALVORN_BENCH=OFF
cmake --build build-asan -j"$jobs"
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build-asan --output-on-failure -j2

# The worker pool and everything that runs on it, under ThreadSanitizer:
# the unit tests (label "unit"), which need no display.
rm -rf build-tsan
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Release -DHALVORN_WERROR=ON -DHALVORN_TSAN=ON \
  -DHALVORN_BENCH=OFF -DHALVORN_VIEWER=OFF
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan --output-on-failure -j2 -L unit

# The player under ThreadSanitizer: a minute of monkey testing (label
# "monkey"). The driver suppresses the races of Mesa's software rasteriser
# among its own threads, by module (tests/monkey/tsan.supp), and nothing else.
rm -rf build-tsan-view
cmake -S . -B build-tsan-view -DCMAKE_BUILD_TYPE=Release -DHALVORN_WERROR=ON -DHALVORN_TSAN=ON \
  -DHALVORN_BENCH=OFF
cmake --build build-tsan-view -j"$jobs" --target halvview
ctest --test-dir build-tsan-view --output-on-failure -L monkey

# The fuzz targets build with clang, and each runs a few seconds on its
# seeds (new inputs go to a scratch folder; the seeds stay as they are).
rm -rf build-fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DHALVORN_WERROR=ON -DHALVORN_FUZZ=ON \
  -DHALVORN_TESTS=OFF -DHALVORN_BENCH=OFF -DHALVORN_VIEWER=OFF
cmake --build build-fuzz -j"$jobs"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for corpus in tests/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  target=build-fuzz/tests/fuzz/fuzz_$name
  [ -x "$target" ] || { echo "no fuzz target for $corpus" >&2; exit 1; }
  mkdir -p "$scratch/$name"
  "$target" -close_fd_mask=2 -max_total_time=5 -print_final_stats=1 "$scratch/$name" "$corpus"
  # The inputs of past findings, once each; no allocation may ask for 512 MB.
  regressions=tests/robustness/regressions/$name
  if [ -d "$regressions" ]; then "$target" -close_fd_mask=2 -malloc_limit_mb=512 "$regressions"/*; fi
done
for target in build-fuzz/tests/fuzz/fuzz_*; do
  [ -d "tests/fuzz/corpus/${target##*/fuzz_}" ] || { echo "no seeds for $target" >&2; exit 1; }
done
