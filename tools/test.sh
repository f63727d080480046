#!/usr/bin/env bash
# Installs what the tests need, builds from scratch with warnings as errors
# and runs every test; then builds again with the address and
# undefined-behaviour sanitizers and runs every test once more; then runs the
# unit tests of the threaded code under ThreadSanitizer. It builds in folders
# of its own (build-test, build-asan, build-tsan) and leaves build/, the
# demo's, alone.
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
