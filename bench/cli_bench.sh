#!/usr/bin/env bash
# Times kestrel-cli over 8 generated 4008 x 2672 frames with --jobs 1 and --jobs 2, and
# a plain copy of the same files, in one run.
#   bench/cli_bench.sh [BUILD_FOLDER]   (default: build)
set -euo pipefail
build=${1:-build}
bin=$(cd "$build/bin" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin/kestrel-make-frames" "$work/in" 8
sync
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN { printf "%.2f", e - s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

copy=$(seconds bash -c "mkdir -p '$work/copy' && cp '$work'/in/*.fits '$work/copy/' && sync")
one=$(seconds "$bin/kestrel-cli" correct --phase-1x1 8 --jobs 1 --output-dir "$work/one" "$work"/in/*.fits)
two=$(seconds "$bin/kestrel-cli" correct --phase-1x1 8 --jobs 2 --output-dir "$work/two" "$work"/in/*.fits)
for f in "$work"/in/*.fits; do
    name=$(basename "$f")
    cmp -s "$work/one/$name" "$work/two/$name" || { echo "outputs differ between job counts: $name" >&2; exit 1; }
done

# Other work on the machine skews every figure; the load average says how busy it was.
echo "cores:    $(nproc)"
echo "load:     $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cp:       ${copy} s"
echo "--jobs 1: ${one} s"
echo "--jobs 2: ${two} s"
echo "speed-up: $(ratio "$one" "$two")"
echo "jobs 2 / copy: $(ratio "$two" "$copy")"
