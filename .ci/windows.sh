#!/usr/bin/env bash
# kestrel-cli for Windows: cross-built with MinGW-w64 into build-windows/, its tests run
# under Wine in a Wine prefix made for this run (among them kestrel-cli.exe against the
# Linux build's kestrel-cli in build/bin, byte for byte), and the ZIP made and looked
# at. Prints how long each part took.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

echo "== Windows: cross-build"
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DKESTREL_WERROR=ON -DKESTREL_BENCH=OFF
cmake --build build-windows -j2
built=$SECONDS

echo "== Windows: tests under Wine"
export WINEPREFIX="$PWD/build-windows/wine-prefix"
rm -rf "$WINEPREFIX"
tools/wine-run --start
trap 'tools/wine-run --stop' EXIT
ctest --test-dir build-windows --output-on-failure -j2
tested=$SECONDS

echo "== Windows: the ZIP"
zip=kestrel-cli-1.35-win64.zip
(cd build-windows && rm -f "$zip" && cpack >/dev/null)
contents=$(cmake -E tar tf "build-windows/$zip" | LC_ALL=C sort | tr '\n' ' ')
echo "$zip: $contents"
expected="kestrel-cli-1.35-win64/Kestrel.pdf kestrel-cli-1.35-win64/LICENSE.txt kestrel-cli-1.35-win64/README-Windows.txt kestrel-cli-1.35-win64/kestrel-cli.exe "
if [ "$contents" != "$expected" ]; then
  echo "the ZIP should hold: $expected" >&2
  exit 1
fi

echo "== Windows: $((SECONDS - started)) s (build $((built - started)) s, tests $((tested - built)) s, ZIP $((SECONDS - tested)) s)"
