#!/usr/bin/env bash
# Installs the build into a staging folder, as a package build does, and checks the
# installed tree: exactly the expected files, programs that run, icons of the sizes
# their folders promise, and a desktop entry and metainfo that the validators accept.
#   install_test.sh BUILD_FOLDER SOURCE_FOLDER
set -euo pipefail
build=$1
source=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
usr=$stage/usr
id=example.kestrel.Kestrel
sizes=(16 22 24 32 48 64 128 256)

expected=(
  bin/kestrel bin/kestrel-cli bin/kestrel-make-frames
  share/applications/$id.desktop
  share/metainfo/$id.metainfo.xml
  share/icons/hicolor/scalable/apps/$id.svg
  share/bash-completion/completions/kestrel-cli
  share/doc/kestrel/Kestrel.pdf share/doc/kestrel/kestrel.htm share/doc/kestrel/copyright
  share/doc/kestrel/changelog.gz
  lib/systemd/user/kestrel-watch@.service
)
for size in "${sizes[@]}"; do expected+=("share/icons/hicolor/${size}x$size/apps/$id.png"); done
for page in kestrel.1 kestrel-cli.1 kestrel-make-frames.1; do expected+=("share/man/man1/$page.gz"); done
# The Python module, where the build made one (the package python3-kestrel).
for module in "$build"/python/kestrel/_kestrel.*.so; do
  [ -f "$module" ] || continue
  expected+=("lib/python3/dist-packages/kestrel/${module##*/}" lib/python3/dist-packages/kestrel/__init__.py
             lib/python3/dist-packages/kestrel/__init__.pyi lib/python3/dist-packages/kestrel/py.typed
             share/doc/python3-kestrel/copyright share/doc/python3-kestrel/changelog.gz
             share/doc/python3-kestrel/examples/dask_correct.py share/doc/python3-kestrel/examples/jobqueue.yaml)
done
if ! diff -u <(printf 'usr/%s\n' "${expected[@]}" | sort) \
             <(cd "$stage" && find . -mindepth 1 -not -type d | sed 's|^\./||' | sort); then
  fail "the installed files differ from the expected ones (- missing, + unexpected)"
fi

for program in kestrel kestrel-cli; do
  [ -x "$usr/bin/$program" ] || fail "bin/$program is not executable"
done
version=$("$usr/bin/kestrel-cli" --version | head -n 1) || fail "the installed kestrel-cli does not run"
release=$(grep -o -m1 '<release version="[^"]*"' "$usr/share/metainfo/$id.metainfo.xml" | cut -d'"' -f2)
[ "$version" = "kestrel-cli $release" ] ||
  fail "the newest release in the metainfo is '$release' but the program says '$version'"
entry=$(gzip -dc "$usr/share/doc/kestrel/changelog.gz" | head -1 | cut -d' ' -f1,2)
[ "$entry" = "kestrel ($release)" ] || fail "the changelog begins with '$entry', not release $release"

png_size() {
  [ "$(od -An -tx1 -N8 "$1" | tr -d ' \n')" = 89504e470d0a1a0a ] || { echo "not a PNG"; return; }
  local b
  read -ra b < <(od -An -tu1 -j16 -N8 "$1")
  echo "$(((b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3]))x$(((b[4] << 24) | (b[5] << 16) | (b[6] << 8) | b[7]))"
}
for size in "${sizes[@]}"; do
  icon=$usr/share/icons/hicolor/${size}x$size/apps/$id.png
  [ -f "$icon" ] || continue
  got=$(png_size "$icon")
  [ "$got" = "${size}x$size" ] || fail "the ${size}x$size icon is $got"
done
rsvg-convert "$usr/share/icons/hicolor/scalable/apps/$id.svg" >/dev/null || fail "the SVG icon does not render"
[ "$(head -c 5 "$usr/share/doc/kestrel/Kestrel.pdf")" = "%PDF-" ] || fail "Kestrel.pdf is not a PDF"
# The man pages installed are those made with their examples' output, not the templates.
for page in kestrel.1 kestrel-cli.1 kestrel-make-frames.1; do
  gzip -dc "$usr/share/man/man1/$page.gz" | cmp -s - "$build/docs/man/$page" ||
    fail "the installed $page is not the page the build made"
done

desktop=$usr/share/applications/$id.desktop
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry does not name the icon $id"
grep -qx "Exec=kestrel %F" "$desktop" || fail "the desktop entry does not start kestrel with the files opened"
if command -v desktop-file-validate >/dev/null; then
  # Hints count too: a clean entry is cheap to keep clean.
  out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
else
  echo "SKIP: desktop-file-validate not installed (run ./setup.sh)"
fi
if command -v appstreamcli >/dev/null; then
  # The tree form also checks that the metainfo's launchable names an installed entry.
  appstreamcli validate-tree --no-net "$stage" || fail "appstreamcli rejects the metainfo"
else
  echo "SKIP: appstreamcli not installed (run ./setup.sh)"
fi

# The window answers --help and --version without a display, as from a console.
help=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$usr/bin/kestrel" --help 2>&1) ||
  fail "kestrel --help fails without a display: $help"
[[ $help == "usage: kestrel "* ]] || fail "kestrel --help says: $help"
version=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$usr/bin/kestrel" --version 2>&1) ||
  fail "kestrel --version fails without a display: $version"
[ "${version%%$'\n'*}" = "kestrel $release" ] || fail "kestrel --version says: $version"

# An installed program keeps its files in the user's folders, never in its own folder,
# which belongs to the system (read-only here; root could write it all the same).
home=$stage/home
mkdir -p "$home"
chmod a-w "$usr/bin"
# A 16-bit frame, 4008 x 2, whose brighter half of every 32 columns starts at column 5.
python3 - "$stage/phase.fits" <<'PY'
import struct, sys
cards = ["SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
         "NAXIS1  =                 4008", "NAXIS2  =                    2", "BZERO   =                32768",
         "BSCALE  =                    1", "END"]
header = "".join(c.ljust(80) for c in cards)
header += " " * (-len(header) % 2880)
data = b"".join(struct.pack(">h", (1100 if (c - 5) % 32 < 16 else 1000) - 32768) for r in range(2) for c in range(4008))
data += b"\0" * (-len(data) % 2880)
open(sys.argv[1], "wb").write(header.encode() + data)
PY
out=$(HOME=$home XDG_CONFIG_HOME= "$usr/bin/kestrel-cli" phase --save "$stage/phase.fits" 2>&1) ||
  fail "the installed kestrel-cli could not store a phase: $out"
grep -qx '1x1phase=5' "$home/.config/kestrel/kestx.ini" 2>/dev/null ||
  fail "the phase is not in ~/.config/kestrel/kestx.ini: $out"
[ "$(ls "$usr/bin")" = "$(printf 'kestrel\nkestrel-cli\nkestrel-make-frames')" ] ||
  fail "files were written beside the installed program: $(ls "$usr/bin")"
chmod u+w "$usr/bin"

[ "$failures" -eq 0 ] || exit 1
echo "installed tree as expected"
