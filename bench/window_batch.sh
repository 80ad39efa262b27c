#!/usr/bin/env bash
# Times the window's batch on frames opened as the desktop opens them (kestrel FILE...),
# on a private X display with a window manager: from the answer to "Overwrite existing
# files?" until the last corrected file is in place. Prints the seconds.
#   bench/window_batch.sh BUILD_BIN_FOLDER FRAME...
# Needs Xvfb, openbox and xdotool; prints nothing and fails without them.
set -euo pipefail
bin=$1
shift
for tool in Xvfb openbox xdotool; do
    command -v "$tool" >/dev/null || exit 1
done
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-window.XXXXXX")
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A portable copy of the window with the phases set, and the frames in a folder of their
# own, so that the corrected files go into a fresh kestrel/ beside them.
mkdir -p "$work/program" "$work/frames"
cp "$bin/kestrel" "$work/program/"
printf '[kestx]\n1x1phase=8\n2x2phase=8\n' >"$work/program/kestx.ini"
frames=()
for f in "$@"; do
    cp "$f" "$work/frames/"
    frames+=("$work/frames/$(basename "$f")")
done

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.05; done
export DISPLAY=":$(cat "$work/display")"
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 0.5

"$work/program/kestrel" "${frames[@]}" >/dev/null 2>&1 &
pids+=($!)
question=""
for _ in $(seq 400); do
    question=$(xdotool search --name '^Confirm$' 2>/dev/null | head -1) && [[ -n $question ]] && break
    sleep 0.05
done
[[ -n $question ]] || exit 1
start=$(date +%s%N)
xdotool key --window "$question" n
for _ in $(seq 6000); do
    [[ $(find "$work/frames/kestrel" -name '*.fits' 2>/dev/null | wc -l) -ge ${#frames[@]} ]] && break
    sleep 0.005
done
end=$(date +%s%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", (e - s) / 1e9 }'
