#!/usr/bin/env bash
# The manual's quick start, run for real at every build: one night of synthetic frames
# (kestrel-make-frames), its phase found on a raw flat and stored, the night corrected
# and one frame's band profile drawn, each command's output kept for the manual.
#   quick_start.sh KESTREL_CLI KESTREL_MAKE_FRAMES FOLDER
# kestrel-cli runs as a portable copy in FOLDER/bin, so the phase it stores goes into
# FOLDER/bin/kestx.ini and never into the settings of the build or of its user.
set -euo pipefail
cli=$(realpath "$1")
make_frames=$(realpath "$2")
folder=$(realpath -m "$3")
rm -rf "$folder"
mkdir -p "$folder/bin" "$folder/night"
cp "$cli" "$folder/bin/kestrel-cli"
export PATH="$folder/bin:$PATH"
cd "$folder"

# Three calibrated light frames and one raw flat, 4008 x 600, named as a camera's
# software names them.
"$make_frames" frames 3 4008 600
for n in 1 2 3; do mv "frames/frame$n.fits" "night/m33_00$n.fits"; done
"$make_frames" --uint16 frames 1 4008 600
mv frames/frame1.fits flat_001.fits
rmdir frames

# Each command as the manual shows it, and its output as the terminal shows it.
run() {
  echo "$2" > "$1.command"
  eval "$2" > "$1.out"
}
run phase 'kestrel-cli phase --save --scores --plot scores.pdf flat_001.fits'
run settings 'cat bin/kestx.ini'
run correct 'kestrel-cli correct --csv night.csv --verify night/m33_*.fits'
run list 'ls night/kestrel'
run results 'cat night.csv'
run profile 'kestrel-cli profile --plot profile.pdf night/m33_001.fits'
