#!/usr/bin/env bash
# Opens two frames with Kestrel as a file manager does, through the installed desktop
# entry (gio launch), and waits for their corrected files: one window starts with both
# frames, asks about overwriting as it does for dropped files (Return answers No:
# copies go into kestrel/ beside the frames), and writes what kestrel-cli writes, bit
# for bit.
# Closing the window then stores the settings, and no other folder of the user's is made.
# Run it on a display with a window manager (tests/app/qt/on_private_display.sh).
#   open_with_test.sh BUILD_FOLDER
set -euo pipefail
build=$1
stage=$(mktemp -d)
window=""
cleanup() {
  [ -n "$window" ] && kill "$(xdotool getwindowpid "$window" 2>/dev/null)" 2>/dev/null
  rm -rf "$stage"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits up to 30 seconds for a window whose title is exactly $1 and prints its id.
wait_for_window() {
  for _ in $(seq 1 300); do
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 | grep . && return 0
    sleep 0.1
  done
  return 1
}

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
usr=$stage/usr
export HOME=$stage/home XDG_CONFIG_HOME="" XDG_DATA_HOME="" XDG_CACHE_HOME=""
mkdir -p "$HOME/.config/kestrel"
printf '[kestx]\n1x1phase=8\n' > "$HOME/.config/kestrel/kestx.ini"
"$build/bin/kestrel-make-frames" "$stage/night" 2 4008 64 >/dev/null
frames=("$stage/night/frame1.fits" "$stage/night/frame2.fits")

PATH=$usr/bin:$PATH gio launch "$usr/share/applications/example.kestrel.Kestrel.desktop" "${frames[@]}" ||
  fail "gio could not launch the desktop entry"
window=$(wait_for_window "Kestrel Version 1.35\\.") || fail "no window came"
box=$(wait_for_window Confirm) || fail "the window did not start the run on the frames"
# One window for both: an entry without %F would start one for each file.
[ "$(xdotool search --name "^Kestrel Version" | wc -l)" = 1 ] || fail "more than one window came"
xdotool windowactivate --sync "$box" key Return
for _ in $(seq 1 300); do [ -f "$stage/night/kestrel/frame2.fits" ] && break; sleep 0.1; done
[ -f "$stage/night/kestrel/frame2.fits" ] || fail "no corrected files in $stage/night/kestrel"

"$usr/bin/kestrel-cli" correct --output-dir "$stage/cli" "${frames[@]}" >/dev/null
for name in frame1.fits frame2.fits; do
  cmp "$stage/night/kestrel/$name" "$stage/cli/$name" || fail "the window's $name differs from kestrel-cli's"
done

# Closing stores the folder of the frame as the last one used.
pid=$(xdotool getwindowpid "$window")
xdotool windowactivate --sync "$window" key alt+F4
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "the window did not close"
window=""
grep -qx "lastFolder=$stage/night" "$HOME/.config/kestrel/kestx.ini" ||
  fail "the settings were not stored: $(cat "$HOME/.config/kestrel/kestx.ini")"
# (Other programs keep caches of their own, such as fontconfig's.)
for folder in .local/share/kestrel .cache/kestrel; do
  [ -e "$HOME/$folder" ] && fail "$folder was made, with nothing to keep in it"
done
echo "the frames opened through the desktop entry were corrected"
