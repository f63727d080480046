#!/usr/bin/env bash
# Installs what the tests need, builds from scratch and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh test
rm -rf build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2
