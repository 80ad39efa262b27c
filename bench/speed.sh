#!/usr/bin/env bash
# Times kestrel-cli against cp and a durable copy (cp + sync of the copy) of the same
# frames, all in one run, and prints the ratios the speed goals are stated in as a
# markdown table:
#   - one 1x1 frame (4008 x 2672 floats) and one 2x2 frame (2004 x 1336): correct against
#     cp + sync of that frame;
#   - 8 frames with --jobs 1 and --jobs 2: per frame against the durable copy of the 8,
#     and the throughput of 2 jobs against 1, with the outputs on the disk and, where the
#     disk is no limit, in memory (/dev/shm);
#   - peak memory per job over the frame's bytes (/usr/bin/time %M, less the program's
#     own memory);
#   - cold-cache reads: the frame evicted from the page cache (vmtouch -e), the bytes the
#     correction then reads from the disk over the frame's bytes (1.00: read once);
#   - the window's batch on the 8 frames (bench/window_batch.sh, on a private X display)
#     against kestrel-cli --jobs N on the same frames, N the number of cores.
# With --old, a second kestrel-cli (say a copy of the last release's) is timed in the
# same runs, interleaved with the new one, and both are made to correct the same frames:
# 1x1 and 2x2, PixInsight-normalised, with awkward samples, with a NaN, and with a typed
# amplitude. Their outputs and result lines must be the same bytes.
#   bench/speed.sh [--old OLD_KESTREL_CLI] [--runs N] [BUILD_FOLDER]   (default: build, 7 runs)
# Other work on the machine skews every figure: the medians of several runs and the load
# average before and after are printed with the table.
set -euo pipefail

old=""
runs=7
while [[ $# -gt 0 ]]; do
    case "$1" in
    --old) old=$(realpath "$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) break ;;
    esac
done
build=${1:-build}
bin=$(cd "$build/bin" && pwd)
new="$bin/kestrel-cli"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$bin/kestrel-make-frames" "$work/in1" 8 >/dev/null
"$bin/kestrel-make-frames" "$work/in2" 1 2004 1336 >/dev/null
one="$work/in1/frame1.fits"
two="$work/in2/frame1.fits"
sync
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

now() { date +%s%N; }
# Seconds taken by "$@", its output dropped.
timed() {
    local s e
    s=$(now)
    "$@" >/dev/null 2>&1 || true
    e=$(now)
    echo $(((e - s) / 1000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.4f", v[int((NR + 1) / 2)] / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
per() { awk -v a="$1" -v n="$2" 'BEGIN { printf "%.4f", a / n }'; }

copy() { cp "$1" "$work/copy.fits"; }
durable() { cp "$1" "$work/copy.fits" && sync "$work/copy.fits"; }
durable8() { mkdir -p "$work/copy8" && cp "$work"/in1/*.fits "$work/copy8/" && sync "$work"/copy8/*.fits; }
correct() { # BINARY OUTPUT_FOLDER ARGS...
    local cli=$1 out=$2
    shift 2
    "$cli" correct --phase-1x1 8 --phase-2x2 8 --output-dir "$out" "$@"
}

# A folder in memory for the outputs, where the machine has one.
memory_folder=""
if [[ -d /dev/shm && -w /dev/shm ]]; then
    memory_folder=$(mktemp -d /dev/shm/kestrel-speed.XXXXXX)
    trap 'rm -rf "$work" "$memory_folder"' EXIT
fi

declare -A samples
record() { samples[$1]+="$2"$'\n'; }
binaries=(new)
[[ -n "$old" ]] && binaries+=(old)
cli_of() { if [[ $1 == new ]]; then echo "$new"; else echo "$old"; fi; }

for ((r = 0; r < runs; r++)); do
    rm -f "$work/copy.fits"
    record cp1 "$(timed copy "$one")"
    rm -f "$work/copy.fits"
    record durable1 "$(timed durable "$one")"
    rm -f "$work/copy.fits"
    record cp2 "$(timed copy "$two")"
    rm -f "$work/copy.fits"
    record durable2 "$(timed durable "$two")"
    rm -rf "$work/copy8"
    record durable8 "$(timed durable8)"
    for b in "${binaries[@]}"; do
        cli=$(cli_of "$b")
        rm -rf "$work/out"
        record "$b-one1" "$(timed correct "$cli" "$work/out" "$one")"
        rm -rf "$work/out"
        record "$b-one2" "$(timed correct "$cli" "$work/out" "$two")"
        rm -rf "$work/out"
        record "$b-jobs1" "$(timed correct "$cli" "$work/out" --jobs 1 "$work"/in1/*.fits)"
        rm -rf "$work/out"
        record "$b-jobs2" "$(timed correct "$cli" "$work/out" --jobs 2 "$work"/in1/*.fits)"
        # Where the disk is not the limit: the outputs in memory (tmpfs).
        if [[ -n "$memory_folder" ]]; then
            rm -rf "$memory_folder/out"
            record "$b-mem1" "$(timed correct "$cli" "$memory_folder/out" --jobs 1 "$work"/in1/*.fits)"
            rm -rf "$memory_folder/out"
            record "$b-mem2" "$(timed correct "$cli" "$memory_folder/out" --jobs 2 "$work"/in1/*.fits)"
        fi
    done
done
rm -rf "$work/copy8" "$work/out" "$work/copy.fits" "${memory_folder:-$work}/out"

# The window's batch against kestrel-cli with one job per core, in the same conditions.
cores=$(nproc)
window_runs=0
if [[ -x "$bin/kestrel" ]]; then
    for ((r = 0; r < (runs + 1) / 2; r++)); do
        read -r window cli < <("$here/window_batch.sh" "$bin" "$work"/in1/*.fits 2>/dev/null) || break
        record window "$(awk -v s="$window" 'BEGIN { printf "%d", s * 1e6 }')"
        record clicores "$(awk -v s="$cli" 'BEGIN { printf "%d", s * 1e6 }')"
        window_runs=$((window_runs + 1))
    done
fi
rm -rf "$work/out"
m() { printf '%s' "${samples[$1]}" | median; }

# Peak memory: the largest resident set, less that of the program doing nothing.
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
frame_bytes=$(stat -c %s "$one")
declare -A memory reads
for b in "${binaries[@]}"; do
    cli=$(cli_of "$b")
    idle=$(peak "$cli" --version)
    rm -rf "$work/out"
    single=$(peak "$cli" correct --phase-1x1 8 --output-dir "$work/out" "$one")
    rm -rf "$work/out"
    double=$(peak "$cli" correct --phase-1x1 8 --output-dir "$work/out" --jobs 2 "$work"/in1/*.fits)
    memory[$b-one]=$(awk -v p="$single" -v i="$idle" -v f="$frame_bytes" 'BEGIN { printf "%.2f", (p - i) * 1024 / f }')
    memory[$b-two]=$(awk -v p="$double" -v i="$idle" -v f="$frame_bytes" 'BEGIN { printf "%.2f", (p - i) * 1024 / 2 / f }')
    # Cold cache: blocks read from the disk (%I, 512 bytes each) over the frame's bytes.
    if command -v vmtouch >/dev/null; then
        rm -rf "$work/out"
        vmtouch -q -e "$one"
        inputs=$(/usr/bin/time -f %I "$cli" correct --phase-1x1 8 --output-dir "$work/out" "$one" 2>&1 >/dev/null | tail -1)
        reads[$b]=$(awk -v i="$inputs" -v f="$frame_bytes" 'BEGIN { printf "%.2f", i * 512 / f }')
    else
        reads[$b]="(no vmtouch)"
    fi
done
rm -rf "$work/out"

# The same bytes from both builds, on frames of every kind.
same="not compared (no --old)"
if [[ -n "$old" ]]; then
    mkdir -p "$work/kinds"
    cp "$work"/in1/frame{1,2}.fits "$work"/in2/frame1.fits "$work/kinds/" 2>/dev/null || true
    mv "$work/kinds/frame1.fits" "$work/kinds/binned.fits"
    cp "$work/in1/frame1.fits" "$work/kinds/frame1.fits"
    python3 "$here/variants.py" pixinsight "$work/in1/frame3.fits" "$work/kinds/pixinsight.fits"
    python3 "$here/variants.py" pixinsight "$two" "$work/kinds/pixinsight-binned.fits"
    python3 "$here/variants.py" awkward "$work/in1/frame4.fits" "$work/kinds/awkward.fits"
    python3 "$here/variants.py" awkward "$two" "$work/kinds/awkward-binned.fits"
    python3 "$here/variants.py" nan "$work/in1/frame5.fits" "$work/kinds/nan.fits"
    same="yes"
    for args in "" "--amplitude 3.25" "--jobs 1 --phase-1x1 17 --phase-2x2 3"; do
        for b in new old; do
            # shellcheck disable=SC2086
            correct "$(cli_of "$b")" "$work/$b" $args "$work"/kinds/*.fits >"$work/$b.lines" 2>/dev/null || true
        done
        diff -q <(sed "s|$work/new|OUT|g" "$work/new.lines") <(sed "s|$work/old|OUT|g" "$work/old.lines") >/dev/null ||
            same="no: the result lines differ (${args:-default options})"
        for f in "$work"/old/*.fits; do
            cmp -s "$f" "$work/new/$(basename "$f")" || same="no: $(basename "$f") differs (${args:-default options})"
        done
        [[ $(ls "$work/old" | wc -l) == $(ls "$work/new" | wc -l) ]] || same="no: other files written"
        rm -rf "$work/new" "$work/old"
    done
    same="$same ($(ls "$work/kinds" | wc -l) frames of every kind, 3 sets of options)"
fi

c1=$(m cp1) d1=$(m durable1) c2=$(m cp2) d2=$(m durable2) d8=$(per "$(m durable8)" 8)
mark() { awk -v v="$1" -v g="$2" -v op="$3" 'BEGIN { ok = op == "<=" ? v <= g : v >= g; printf "%s", ok ? "met" : "missed" }'; }
row() { # NAME NEW_VALUE OLD_VALUE GOAL_OP GOAL
    local verdict=""
    [[ -n "$4" ]] && verdict="$(mark "$2" "$5" "$4")"
    if [[ -n "$old" ]]; then
        echo "| $1 | $2 | $3 | ${4:+$4 $5} | $verdict |"
    else
        echo "| $1 | $2 | ${4:+$4 $5} | $verdict |"
    fi
}

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo);" \
    "load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after; median of $runs runs"
echo
echo "| | seconds |"
echo "|---|---|"
echo "| cp, 1x1 frame (42.8 MB) | $c1 |"
echo "| cp + sync, 1x1 frame | $d1 |"
echo "| cp, 2x2 frame (10.7 MB) | $c2 |"
echo "| cp + sync, 2x2 frame | $d2 |"
echo "| cp + sync of 8 1x1 frames, per frame | $d8 |"
if [[ $window_runs -gt 0 ]]; then
    echo "| the window's batch, 8 frames | $(m window) |"
    echo "| kestrel-cli --jobs $cores, the same 8 frames | $(m clicores) |"
fi
for b in "${binaries[@]}"; do
    echo "| kestrel-cli ($b) correct, 1x1 frame | $(m "$b-one1") |"
    echo "| kestrel-cli ($b) correct, 2x2 frame | $(m "$b-one2") |"
    echo "| kestrel-cli ($b) 8 frames --jobs 1, per frame | $(per "$(m "$b-jobs1")" 8) |"
    echo "| kestrel-cli ($b) 8 frames --jobs 2, per frame | $(per "$(m "$b-jobs2")" 8) |"
    if [[ -n "$memory_folder" ]]; then
        echo "| kestrel-cli ($b) 8 frames --jobs 1 into memory, per frame | $(per "$(m "$b-mem1")" 8) |"
        echo "| kestrel-cli ($b) 8 frames --jobs 2 into memory, per frame | $(per "$(m "$b-mem2")" 8) |"
    fi
done
echo
if [[ -n "$old" ]]; then
    echo "| ratio | new | old | goal | new meets it |"
    echo "|---|---|---|---|---|"
else
    echo "| ratio | value | goal | met |"
    echo "|---|---|---|---|"
fi
v() { # RATIO_KIND BINARY
    local b=$2
    case $1 in
    one1) ratio "$(m "$b-one1")" "$d1" ;;
    one2) ratio "$(m "$b-one2")" "$d2" ;;
    jobs2) ratio "$(per "$(m "$b-jobs2")" 8)" "$d8" ;;
    speedup) ratio "$(m "$b-jobs1")" "$(m "$b-jobs2")" ;;
    memspeedup) if [[ -n "$memory_folder" ]]; then ratio "$(m "$b-mem1")" "$(m "$b-mem2")"; else echo "(no tmpfs)"; fi ;;
    esac
}
o() { [[ -n "$old" ]] && v "$1" old || true; }
row "1x1 frame: correct / (cp + sync)" "$(v one1 new)" "$(o one1)" "<=" 1.5
row "2x2 frame: correct / (cp + sync)" "$(v one2 new)" "$(o one2)" "<=" 1.5
row "8 frames --jobs 2, per frame / durable copy per frame" "$(v jobs2 new)" "$(o jobs2)" "<=" 1.25
row "throughput --jobs 2 / --jobs 1, outputs on the disk" "$(v speedup new)" "$(o speedup)" "" ""
row "throughput --jobs 2 / --jobs 1, outputs in memory (the disk no limit)" "$(v memspeedup new)" "$(o memspeedup)" ">=" 1.7
row "peak memory of one job / frame bytes (one frame)" "${memory[new-one]}" "${memory[old-one]:-}" "<=" 1.2
row "peak memory per job / frame bytes (--jobs 2)" "${memory[new-two]}" "${memory[old-two]:-}" "<=" 1.2
row "bytes read from the disk, cold cache / frame bytes" "${reads[new]}" "${reads[old]:-}" "<=" 1.0
if [[ $window_runs -gt 0 ]]; then
    row "the window's batch / kestrel-cli --jobs $cores, 8 frames" "$(ratio "$(m window)" "$(m clicores)")" "" "<=" 1.1
else
    echo "| the window's batch / kestrel-cli --jobs $cores | (no X server, window manager or xdotool) | | |"
fi
echo
echo "Outputs the same bytes as the old build's: $same"
