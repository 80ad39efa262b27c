#!/usr/bin/env bash
# Sets the manual Kestrel.pdf from manual.ms and the figures drawn at build time.
#   build_manual.sh DOCS_FOLDER FIGURES_FOLDER LICENSE OUTPUT.pdf
#
# groff sets the pages twice: the first pass notes on which page each chapter and
# section begins, the second puts the contents, with those page numbers, in front of
# the first chapter. The chapters are numbered from page 1 in both passes, so the
# length of the contents cannot move them. gropdf embeds every font (-e).
# Any warning of groff fails the build: it means a line that could not be set.
set -euo pipefail
docs=$1
figures=$2
license=$3
output=$4
work=$figures/pages
mkdir -p "$work"

# cairo's PDF files hold comments where gropdf's reader expects a name; Ghostscript
# writes them in the plain form it reads. The pictures stay lossless at full size.
for figure in before-after band-profile window; do
  rm -f "$work/$figure.pdf"
  [ -f "$figures/$figure.pdf" ] || continue
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dCompatibilityLevel=1.4 \
     -dAutoFilterColorImages=false -sColorImageFilter=FlateEncode -dDownsampleColorImages=false \
     -dAutoFilterGrayImages=false -sGrayImageFilter=FlateEncode -dDownsampleGrayImages=false \
     -dEmbedAllFonts=true -o "$work/$figure.pdf" "$figures/$figure.pdf"
done

# What this build measured on the synthetic frame: the amplitude field of
# kestrel-cli's result line.
amplitude=$(cut -f6 "$figures/correct.txt")
case $amplitude in
  [0-9]*.[0-9]*) ;;
  *) echo "build_manual.sh: no amplitude in $figures/correct.txt" >&2; exit 1 ;;
esac

# The licence, paragraph by paragraph, as the LICENSE file words it.
awk 'BEGIN { print ".LP" } /^$/ { print ".LP"; next } { sub(/^[.'"'"']/, "\\\\\\&&"); print }' \
  "$license" > "$work/license.ms"

# Chapter and section numbers for cross references, counted as ms numbers them:
# ".CHAPTER "Title" tag" defines \*[ref:tag].
awk '$1 == ".CHAPTER" { chapter++; section = 0; if ($NF !~ /"$/) print ".ds ref:" $NF " " chapter }
     $1 == ".SECTION" { section++; if ($NF !~ /"$/) print ".ds ref:" $NF " " chapter "." section }' \
  "$docs/manual.ms" > "$work/refs.ms"

set_pages() {
  groff -ms -t -Tpdf -U -ww -P-e -P-pa4 -dpaper=a4 \
        -rwindow-figure="$([ -f "$work/window.pdf" ] && echo 1 || echo 0)" \
        -dfigures="$work" -damplitude="$amplitude" "$@" "$docs/manual.ms"
}

: > "$work/contents.ms"
set_pages -z 2> "$work/pass1.log" || { cat "$work/pass1.log" >&2; exit 1; }
grep -v '^contents|' "$work/pass1.log" >&2 && { echo "build_manual.sh: groff warned" >&2; exit 1; }
# Each line: contents|level|number|title|page
awk -F'|' '$1 == "contents" { printf ".CE %s \"%s\" \"%s\" %s\n", $2, $3, $4, $5 }' "$work/pass1.log" \
  > "$work/contents.ms"

set_pages > "$work/Kestrel.pdf" 2> "$work/pass2.log" || { cat "$work/pass2.log" >&2; exit 1; }
grep -v '^contents|' "$work/pass2.log" >&2 && { echo "build_manual.sh: groff warned" >&2; exit 1; }
mv "$work/Kestrel.pdf" "$output"
