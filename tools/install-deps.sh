#!/usr/bin/env bash
# Installs what Halvorn needs on Debian: `build` for the programs, `test` for
# the test suite as well. Quick when everything is already there.
set -euo pipefail
build_pkgs=(g++ cmake make libgtest-dev libbenchmark-dev freeglut3-dev libgl-dev libglu1-mesa-dev libopenexr-dev
  libpng-dev)
run_pkgs=(xvfb x11-utils imagemagick)
# clang and its runtimes (libFuzzer, the sanitizers) build the fuzz targets.
test_pkgs=(xdotool libstb-dev povray python3 openimageio-tools ffmpeg clang libclang-rt-14-dev)
pkgs=("${build_pkgs[@]}" "${run_pkgs[@]}")
[ "${1:-build}" = test ] && pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
