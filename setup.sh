#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Kestrel needs:
# DejaVu Sans and DejaVu Sans Condensed stand in for the window's Verdana and Tahoma;
# libxcb lets the window hear a close asked for while a box blocks it; the X server,
# window manager and X tools run the window's desktop test.
# Does nothing when they are all present, so it is safe to run before every build.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev libxcb1-dev
  libcurl4-openssl-dev libicu-dev libjpeg62-turbo-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcfitsio-dev fitsverify
  clang libclang-rt-14-dev
  # The manual: groff sets it and embeds the URW fonts, Ghostscript and cairo make its
  # figures, poppler's tools read it back in its tests. Plots of band profiles and phase
  # scores (SVG, PNG, PDF) in their font; the plot tests open them with Pillow.
  groff ghostscript fonts-urw-base35 libcairo2-dev fonts-dejavu-core poppler-utils python3-pil
  python3 locales
  # Installing: icons rendered from their drawing, the checks of the installed tree,
  # the Debian package (dpkg-shlibdeps, file, lintian), and xdg-open behind the Help
  # links.
  librsvg2-bin desktop-file-utils appstream bash-completion dpkg-dev file xdg-utils lintian
  fonts-dejavu-extra
  # gio opens a frame through the installed desktop entry, as a file manager does.
  xvfb openbox x11-utils xdotool libglib2.0-bin
  # bench/speed.sh: peak memory and disk reads (time), cold-cache reads (vmtouch).
  time vmtouch
  # Tests of output folders reached through another mount (FUSE) and on vfat images.
  bindfs dosfstools
  # The Python module (pybind11, NumPy, for Debian's python3) and its tests: pytest,
  # Astropy's FITS arrays, Dask's distributed scheduler for the example.
  pybind11-dev python3-dev python3-numpy python3-pytest python3-astropy python3-distributed
  # Its install with pip into a virtual environment and its wheel (pyproject.toml), and
  # the check of its types with mypy --strict.
  python3-setuptools python3-wheel python3-venv python3-build python3-mypy
  # kestrel-cli for Windows (.ci/windows.sh): the MinGW-w64 cross compiler with posix
  # threads, and Wine, without a display, to run its tests.
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine
)

# Runs a shell command as root: directly when we are root, through sudo where there is
# one. Elsewhere it says which command to run as root, and fails.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    sh -c "$1"
  elif command -v sudo >/dev/null; then
    sudo sh -c "$1"
  else
    printf 'setup.sh: this needs root, and there is no sudo here. Run as root (su -):\n  %s\n' "$1" >&2
    return 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  as_root "apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
fi

# A German locale (decimal comma) for the tests that prove number formats ignore the
# user's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  as_root "localedef -i de_DE -f UTF-8 de_DE.UTF-8" || echo "setup.sh: could not generate de_DE.UTF-8" >&2
fi
