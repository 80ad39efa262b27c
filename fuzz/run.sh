#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for a bounded time.
# Usage: fuzz/run.sh [seconds per harness, default 60]. Exits non-zero when a harness
# finds a crash, a hang or a runaway allocation.
set -euo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
work="$build/fuzz-work"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DKESTREL_FUZZ=ON -DKESTREL_GUI=OFF -DKESTREL_TESTS=OFF -DKESTREL_BENCH=OFF
cmake --build "$build" -j2 --target fuzz_header fuzz_numbers

# Seeds: small valid headers of the kinds Kestrel reads, and a few number texts.
rm -rf "$work/seeds"
mkdir -p "$work/seeds/header" "$work/seeds/numbers" "$work/corpus/header" "$work/corpus/numbers"
card() { printf '%-80.80s' "$1"; }
header() { # cards..., then END padded to a whole record
  local out="" c
  for c in "$@"; do out+="$(card "$c")"; done
  out+="$(card END)"
  while [ $(( ${#out} % 2880 )) -ne 0 ]; do out+="$(card '')"; done
  printf '%s' "$out"
}
header "SIMPLE  =                    T" "BITPIX  =                  -32" "NAXIS   =                    2" \
  "NAXIS1  =                   16 / width" "NAXIS2  =                    2" \
  "PROGRAM = 'PixInsight 1.8'" "EXPTIME =                300.0" "CCD-TEMP=                -10.5" \
  > "$work/seeds/header/float.fits"
head -c 128 /dev/zero >> "$work/seeds/header/float.fits"
header "SIMPLE  =                    T" "BITPIX  =                   16" "NAXIS   =                    2" \
  "NAXIS1  =                    4" "NAXIS2  =                    4" "BZERO   =              32768.0" \
  "BSCALE  =                    1" "EXPOSURE=                  2.5" > "$work/seeds/header/uint16.fits"
head -c 32 /dev/zero >> "$work/seeds/header/uint16.fits"
header "SIMPLE  =                    T" "BITPIX  =                   16" "BZERO   =                 1E10" \
  "BSCALE  =              1.0D+00" > "$work/seeds/header/signed.fits"
i=0
for t in 4008 -32 '$7FFFFFFF' 0x1F x10 -2147483648 5. .5 1.5E3 2D4 "  32767.9" "'abc'"; do
  printf '\x02%s' "$t" > "$work/seeds/numbers/$i"; i=$((i + 1))
done

status=0
for harness in header numbers; do
  echo "== fuzz_$harness for ${seconds} s"
  (cd "$work" && "$build/bin/fuzz_$harness" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
     -timeout=10 -print_final_stats=1 "corpus/$harness" "seeds/$harness") || status=1
done
exit "$status"
