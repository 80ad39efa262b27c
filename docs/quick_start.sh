#!/usr/bin/env bash
# The manual's quick start, run for real at every build: one night of synthetic frames
# made by kestrel-make-frames, its phase found on a raw flat and stored, the night
# corrected and one frame's band profile drawn, then corrected again with the
# balanced estimator; each command's output is kept for the manual.
#   quick_start.sh KESTREL_CLI KESTREL_MAKE_FRAMES FOLDER
# Both programs run as a portable copy in FOLDER/bin, so the phase stored goes into
# FOLDER/bin/kestx.ini and never into the settings of the build or of its user.
#
# Each block of the manual is BLOCK.txt: every command after "$ ", then its output.
# The output of each command is also KEY.out, where the manual's numbers are read.
# A command that fails, or prints nothing where the manual quotes its output, fails
# the build.
set -euo pipefail
cli=$(realpath "$1")
make_frames=$(realpath "$2")
folder=$(realpath -m "$3")
rm -rf "$folder"
mkdir -p "$folder/bin"
cp "$cli" "$folder/bin/kestrel-cli"
cp "$make_frames" "$folder/bin/kestrel-make-frames"
export PATH="$folder/bin:$PATH"
cd "$folder"

# The version the manual names is the one of the program it was made with.
kestrel-cli --version > version.out

block=
begin() { block=$1.txt; : > "$block"; }
# run KEY COMMAND: the command as the manual prints it, run as a shell runs it.
run() {
  echo "\$ $2" >> "$block"
  bash -c "$2" > "$1.out"
  case $1 in
    frames | flats) ;; # kestrel-make-frames writes its files and says nothing
    *) [ -s "$1.out" ] || { echo "quick_start.sh: '$2' printed nothing" >&2; exit 1; } ;;
  esac
  cat "$1.out" >> "$block"
}

begin frames
run frames 'kestrel-make-frames night 3 4008 600'
run flats 'kestrel-make-frames --uint16 flats 1 4008 600'
begin phase
run phase 'kestrel-cli phase --save --scores --plot scores.pdf flats/frame1.fits'
begin correct
run correct 'kestrel-cli correct --verify night/frame*.fits'
begin profile
run profile 'kestrel-cli profile --plot profile.pdf night/frame1.fits'
begin balanced
run balanced 'kestrel-cli correct --estimator balanced --verify --csv night.csv night/frame*.fits'
run balanced-profile 'kestrel-cli profile --estimator balanced night/frame1.fits | tail -2'
begin list
run list 'ls night night/kestrel'
begin results
run results 'cat night.csv'
