#!/bin/sh
# Runs a test program on a private X server with a window manager, as a desktop user
# would see the window: title bars, focus and window placement are the window
# manager's, which Qt's offscreen platform does not have.
#
#   on_private_display.sh PROGRAM [ARG...]
#
# Needs Xvfb, openbox and xprop. Exits with PROGRAM's status.
set -u

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-display.XXXXXX") || exit 2
server="" wm=""
cleanup() {
  for p in $wm $server; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# -displayfd picks a free display number and writes it once the server listens.
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$tmp/display" >/dev/null 2>&1 &
server=$!
for _ in $(seq 1 100); do [ -s "$tmp/display" ] && break; sleep 0.05; done
[ -s "$tmp/display" ] || { echo "on_private_display: Xvfb did not start" >&2; exit 2; }
DISPLAY=":$(tr -dc 0-9 <"$tmp/display")"
export DISPLAY

# A configuration folder of its own, so that no user's openbox settings apply.
XDG_CONFIG_HOME="$tmp" openbox >/dev/null 2>&1 &
wm=$!
for _ in $(seq 1 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' ||
  { echo "on_private_display: openbox did not start" >&2; exit 2; }

"$@"
