#!/usr/bin/env bash
# Times the window's batch on frames opened as the desktop opens them (kestrel FILE...),
# on a private X display with a window manager: from the answer to "Overwrite existing
# files?" until the last corrected file is in place. Then times kestrel-cli --jobs N (N
# the number of cores) in the same conditions: the frames freshly copied into a folder
# of their own, put on the disk and left as long as the window took to come up, the
# outputs into a fresh kestrel/ beside them. Prints the two times in seconds, the
# window's first.
# The conditions matter on a virtual machine: memory the system freed a few seconds ago
# may have gone back to the host, and the first write to it is several times slower.
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
# On the disk before either is timed, so that neither waits for the other's copies.
sync
copied=$(date +%s%N)

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
# Counted by the shell itself, without a program started for every look, which would
# take cores from the window: the pause between looks is a read that times out on a
# pipe nobody writes to, not a sleep program.
mkfifo "$work/never"
exec 9<>"$work/never"
shopt -s nullglob
# xdotool answers after a pause of its own, so that its start-up is not counted: the
# answer is taken to come half a second after it was started (a few milliseconds early,
# which counts against the window). The key is let go at once.
launched=$(date +%s%N)
xdotool sleep 0.5 key --delay 0 --window "$question" n &
pids+=($!)
start=$((launched + 500000000))
for _ in $(seq 3000); do
    written=("$work/frames/kestrel"/*.fits)
    [[ ${#written[@]} -ge ${#frames[@]} ]] && break
    read -r -t 0.01 -u 9 _ || true
done
end=$(date +%s%N)
window=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", (e - s) / 1e9 }')

for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
pids=()
rm -rf "$work/frames"
mkdir "$work/frames"
for f in "$@"; do cp "$f" "$work/frames/"; done
sync
sleep "$(awk -v s="$copied" -v e="$start" 'BEGIN { printf "%.3f", (e - s) / 1e9 }')"
start=$(date +%s%N)
"$bin/kestrel-cli" correct --phase-1x1 8 --phase-2x2 8 --output-dir "$work/frames/kestrel" \
    --jobs "$(nproc)" "$work/frames"/*.fits >/dev/null 2>&1
end=$(date +%s%N)
echo "$window $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", (e - s) / 1e9 }')"
