#!/usr/bin/env bash
# kestrel-cli.exe under Wine against the Linux kestrel-cli: the same synthetic frames of
# every sensor width, corrected by both, must give the same bytes: corrected images,
# result lines, results file and exit status. Among them Unicode names, --jobs 2, a
# results file with CR LF lines, --overwrite over a read-only original, outputs that
# would replace inputs, a results file named after an image, a closed and a full
# output, and Ctrl-C in the middle of a run.
#
#   cli_under_wine.sh LINUX_BIN WINDOWS_EXE WINE_RUN
#
# LINUX_BIN holds the Linux build's kestrel-cli and kestrel-make-frames; WINE_RUN is
# tools/wine-run, with WINEPREFIX set and Wine started. Exits 77 (skipped) without the
# Linux build.
set -uo pipefail
linux_bin=$(realpath "$1") exe=$(realpath "$2") wine_run=$(realpath "$3")
linux_cli=$linux_bin/kestrel-cli make_frames=$linux_bin/kestrel-make-frames
if [ ! -x "$linux_cli" ] || [ ! -x "$make_frames" ]; then
    echo "no Linux kestrel-cli in $linux_bin: build the Linux tree first" >&2
    exit 77
fi
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# Frames of the four sensor widths, short ones: the widths decide the binning.
frames=$work/frames
unicode='M31 été 中 🔭.fits'
mkdir -p "$frames/make"
for size in "4008 600" "4032 500" "2004 300" "2016 250"; do
    set -- $size
    "$make_frames" "$frames/make" 1 "$1" "$2" >/dev/null
    mv "$frames/make/frame1.fits" "$frames/w$1.fits"
done
mv "$frames/w4008.fits" "$frames/$unicode"
"$make_frames" --uint16 "$frames/make" 1 4008 600 >/dev/null
mv "$frames/make/frame1.fits" "$frames/raw16.fits"
rmdir "$frames/make"
names=("$unicode" w4032.fits w2004.fits w2016.fits)
# A results file kept by hand: CR LF lines, the last one without its line end.
printf 'Image,Binning,CCDtemp,Exposure,Amplitude\r\nold.fits,1x1,-20,300,7.31\r\nby hand' >"$frames/results.csv"

# Runs both tools in copies of `from` with the same arguments and compares everything
# they leave: standard output, exit status and every file.
#   compare NAME FROM SETUP ARGUMENTS...   (SETUP: a command run in each copy first)
compare() {
    local name=$1 from=$2 setup=$3
    shift 3
    local linux=$work/$name/linux windows=$work/$name/windows
    mkdir -p "$work/$name"
    cp -r "$from" "$linux"
    cp -r "$from" "$windows"
    (cd "$linux" && eval "$setup")
    (cd "$windows" && eval "$setup")
    (cd "$linux" && "$linux_cli" "$@" >"$work/$name/linux.out" 2>"$work/$name/linux.err")
    local linux_status=$?
    (cd "$windows" && "$wine_run" "$exe" "$@" >"$work/$name/windows.out" 2>"$work/$name/windows.err")
    local windows_status=$?
    [ "$linux_status" = "$windows_status" ] ||
        fail "$name: exit status $windows_status on Windows, $linux_status on Linux"
    # A path the program made itself ends in its system's separator, "\" in a result
    # line; the names given on the command line are the same on both.
    sed 's|\\|/|g' "$work/$name/windows.out" | cmp -s - "$work/$name/linux.out" ||
        fail "$name: result lines differ:$(diff "$work/$name/linux.out" "$work/$name/windows.out")"
    diff -r "$linux" "$windows" >/dev/null || fail "$name: the files differ: $(diff -rq "$linux" "$windows")"
    [ -z "$(find "$windows" -name '.kestrel-*')" ] || fail "$name: a temporary file was left"
    echo "$name: status $windows_status, $(wc -l <"$work/$name/windows.out") lines, the same bytes"
}

compare both-binnings "$frames" : \
    correct --phase-1x1 8 --phase-2x2 8 --jobs 2 --csv results.csv "${names[@]}"
[ -s "$work/both-binnings/windows/kestrel/$unicode" ] || fail "both-binnings: no corrected $unicode"
grep -q $'^by hand\r$' "$work/both-binnings/windows/results.csv" ||
    fail "both-binnings: the hand-made last line was not ended with CR LF"

compare overwrite "$frames" "chmod a-w '$unicode'" \
    correct --overwrite --phase-1x1 8 --phase-2x2 8 --jobs 2 "${names[@]}"
cmp -s "$frames/$unicode" "$work/overwrite/windows/$unicode" || fail "overwrite: the read-only original was replaced"
cmp -s "$frames/w2004.fits" "$work/overwrite/windows/w2004.fits" && fail "overwrite: w2004.fits was not corrected"
grep -q "write-protected" "$work/overwrite/windows.err" || fail "overwrite: the read-only original was not reported"

# Without --overwrite no input is replaced, whatever way the output folder is spelt.
compare output-is-input "$frames" "mkdir sub" \
    correct --phase-1x1 8 --phase-2x2 8 --output-dir sub/.. w4032.fits w2004.fits
compare results-over-image "$frames" : correct --phase-1x1 8 --csv w2004.fits w4032.fits
compare phase-of-a-frame "$frames" : phase --scores raw16.fits

# A pattern that no Windows shell expands is expanded by the program itself.
globbed=$work/glob
cp -r "$frames" "$globbed"
(cd "$globbed" && "$wine_run" "$exe" correct --phase-2x2 8 --output-dir out 'w20*.fits' >out.txt 2>/dev/null) ||
    fail "glob: exit status $?"
for f in w2004.fits w2016.fits; do
    cmp -s "$globbed/out/$f" "$work/both-binnings/linux/kestrel/$f" || fail "glob: $f not corrected as on Linux"
done
echo "glob: w20*.fits gave $(wc -l <"$globbed/out.txt") files"

# Two corrected files whose names differ only in case are one file on Windows: the
# second input is refused there instead of replacing the first one's correction.
cased=$work/case
mkdir -p "$cased/A" "$cased/B"
cp "$frames/w4032.fits" "$cased/A/night.fits"
cp "$frames/w2004.fits" "$cased/B/NIGHT.fits"
(cd "$cased" && "$wine_run" "$exe" correct --phase-1x1 8 --phase-2x2 8 --output-dir out A/night.fits B/NIGHT.fits \
    >out.txt 2>/dev/null)
status=$?
"$linux_cli" correct --phase-1x1 8 --output-dir "$cased/linux" "$cased/A/night.fits" >/dev/null 2>&1
[ "$status" = 1 ] || fail "case: exit status $status, not 1"
grep -q "NIGHT.fits.*skipped: its corrected file .* is the one written from A/night.fits" "$cased/out.txt" ||
    fail "case: the second input was not refused: $(cat "$cased/out.txt")"
cmp -s "$cased/out/night.fits" "$cased/linux/night.fits" || fail "case: the first correction was replaced"
echo "case: status $status, the second name of one output refused"

# Standard output closed early, closed from the start, and full.
for case in "closed:| true" "closed-at-start:>&-" "full:>/dev/full"; do
    name=${case%%:*} redirect=${case#*:}
    linux_status=$(cd "$frames" && eval "\"$linux_cli\" correct --phase-1x1 8 --output-dir '$work/out-$name-l' w4032.fits 2>/dev/null $redirect; echo \${PIPESTATUS[0]}")
    windows_status=$(cd "$frames" && eval "\"$wine_run\" \"$exe\" correct --phase-1x1 8 --output-dir '$work/out-$name-w' w4032.fits 2>/dev/null $redirect; echo \${PIPESTATUS[0]}")
    [ "$linux_status" = "$windows_status" ] || fail "$name output: status $windows_status on Windows, $linux_status on Linux"
    echo "$name output: status $windows_status"
done

# Ctrl-C (SIGINT to Wine, a CTRL_C_EVENT to the program) once the first file is done:
# no further file is written, every written file is reported, no temporary file stays.
stop=$work/ctrl-c
mkdir -p "$stop/in"
"$make_frames" "$stop/in" 1 4008 1200 >/dev/null
for i in $(seq -w 2 12); do cp "$stop/in/frame1.fits" "$stop/in/f$i.fits"; done
"$linux_cli" correct --phase-1x1 8 --output-dir "$stop/linux" "$stop/in/frame1.fits" >/dev/null 2>&1
(cd "$stop/in" && exec "$wine_run" "$exe" correct --phase-1x1 8 --jobs 1 --output-dir ../out ./*.fits \
    >"$stop/out.txt" 2>"$stop/err.txt") &
pid=$!
for _ in $(seq 3000); do
    [ -s "$stop/out.txt" ] && break
    sleep 0.01
done
kill -INT "$pid"
wait "$pid"
status=$?
[ "$status" = 130 ] || fail "ctrl-c: exit status $status, not 130"
grep -q "stopped by Ctrl-C; no further file was written" "$stop/err.txt" || fail "ctrl-c: no word of the stop"
reported=$(cut -f1 "$stop/out.txt" | sort)
written=$(ls "$stop/out" | sort)
[ "$reported" = "$written" ] || fail "ctrl-c: written [$written], reported [$reported]"
[ "$(wc -l <"$stop/out.txt")" -lt 12 ] || fail "ctrl-c: the run was not stopped"
for f in $written; do
    cmp -s "$stop/out/$f" "$stop/linux/frame1.fits" || fail "ctrl-c: $f differs from the Linux tool's"
done
[ -z "$(ls -A "$stop/out" | grep '^\.kestrel-')" ] || fail "ctrl-c: a temporary file was left"
echo "ctrl-c: status $status, $(wc -l <"$stop/out.txt") of 12 files written and reported"

# The watch hears of each frame landing from the system (ReadDirectoryChangesW), not
# from a look every 2 s, which would take four frames well within 0.9 s each only once
# in about 60 runs; and it writes the Linux tool's bytes.
watched=$work/watch
mkdir -p "$watched/night"
(cd "$watched" && exec "$wine_run" "$exe" watch --phase-1x1 8 --settle 0.2 night >"$watched/out.txt" 2>/dev/null) &
pid=$!
sleep 5 # Wine starts the program
slowest=0
for n in 1 2 3 4; do
    cp "$stop/in/frame1.fits" "$watched/night/f$n.fits"
    landed=$(date +%s%N)
    for _ in $(seq 1000); do
        [ "$(wc -l <"$watched/out.txt")" -ge "$n" ] && break
        sleep 0.01
    done
    took=$((($(date +%s%N) - landed) / 1000000))
    [ "$took" -gt "$slowest" ] && slowest=$took
    cmp -s "$watched/night/kestrel/f$n.fits" "$stop/linux/frame1.fits" || fail "watch: f$n.fits not corrected as on Linux"
done
kill -INT "$pid"
wait "$pid"
[ "$slowest" -lt 900 ] || fail "watch: a frame was taken only after $slowest ms"
echo "watch: 4 frames, each taken within $slowest ms"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "kestrel-cli.exe under Wine writes the Linux tool's bytes"
