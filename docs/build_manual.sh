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
for figure in before-after band-profile window phase-good phase-none profile-wrong; do
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

# The numbers of the worked examples, as kestrel-cli printed them for this build:
# .ds strings for the text, each checked to be there.
phase_numbers() { # NAME FILE: the phase and significance of the first line, and the
  # contrast of the phase and of the runner-up (the next best score) from the table
  awk -F'\t' -v n="$1" '
    NR == 1 { phase = $3; print ".ds " n "-phase " $3; print ".ds " n "-significance " $4; next }
    $1 == "phase" { next }
    { score[$1] = $2; contrast[$1] = $3; significance[$1] = $4 }
    END {
      best = ""
      for (p in score) if (p != phase && (best == "" || score[p] > score[best] || (score[p] == score[best] && p + 0 < best + 0))) best = p
      print ".ds " n "-contrast " contrast[phase]
      print ".ds " n "-runner-up " best
      print ".ds " n "-runner-up-contrast " contrast[best]
      print ".ds " n "-runner-up-significance " significance[best]
    }' "$2"
}
profile_numbers() { # NAME FILE: the amplitude and the residual with its phase and noise
  awk -F'\t' -v n="$1" '
    $1 == "amplitude" { print ".ds " n "-amplitude " $2 }
    $1 == "residual" { print ".ds " n "-residual " $2; print ".ds " n "-residual-phase " $4; print ".ds " n "-noise " $6 }' "$2"
}
{
  phase_numbers good "$figures/phase-good.txt"
  phase_numbers none "$figures/phase-none.txt"
  profile_numbers right "$figures/band-profile.txt"
  profile_numbers wrong "$figures/profile-wrong.txt"
} > "$work/numbers.ms"
if [ "$(grep -c '^\.ds [a-z-]* -\?[0-9inf]' "$work/numbers.ms")" -ne 20 ]; then
  echo "build_manual.sh: the worked examples lack numbers:" >&2; cat "$work/numbers.ms" >&2; exit 1
fi

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
