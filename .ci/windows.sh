#!/usr/bin/env bash
# kestrel-cli for Windows: cross-built with MinGW-w64 into build-windows/, its tests run
# under Wine in a Wine prefix made for this run. Prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

echo "== Windows: cross-build, tests under Wine"
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DKESTREL_WERROR=ON -DKESTREL_BENCH=OFF
cmake --build build-windows -j2

export WINEPREFIX="$PWD/build-windows/wine-prefix"
rm -rf "$WINEPREFIX"
tools/wine-run --start
trap 'tools/wine-run --stop' EXIT
ctest --test-dir build-windows --output-on-failure -j2

echo "== Windows: $((SECONDS - started)) s"
