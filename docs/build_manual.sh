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
for figure in before-after band-profile window phase-good phase-none profile-wrong quickstart/scores quickstart/profile; do
  name=${figure//\//-}
  rm -f "$work/$name.pdf"
  [ -f "$figures/$figure.pdf" ] || continue
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dCompatibilityLevel=1.4 \
     -dAutoFilterColorImages=false -sColorImageFilter=FlateEncode -dDownsampleColorImages=false \
     -dAutoFilterGrayImages=false -sGrayImageFilter=FlateEncode -dDownsampleGrayImages=false \
     -dEmbedAllFonts=true -o "$work/$name.pdf" "$figures/$figure.pdf"
done

# The quick start's commands and their output as a terminal shows them: "$ " and the
# command, then the output, its tab-separated fields lined up in columns. Each becomes
# an example (.EX) of the manual, quick-NAME.ms.
for step in phase settings correct list results profile; do
  # A short example is kept on one page; the long tables may run on to the next.
  short=$([ "$(wc -l < "$figures/quickstart/$step.out")" -le 12 ] && echo 1 || echo 0)
  {
    if [ "$short" = 1 ]; then echo ".KS"; fi
    echo ".EX"
    { echo "\$ $(cat "$figures/quickstart/$step.command")"; cat "$figures/quickstart/$step.out"; } |
      awk -F'\t' '{ lines[NR] = $0; n[NR] = NF; for (i = 1; i <= NF; i++) { f[NR, i] = $i; if (NR > 1 && length($i) > w[i]) w[i] = length($i) } }
        END { for (r = 1; r <= NR; r++) { if (r == 1 || n[r] == 1) { print lines[r]; continue }
                line = ""; for (i = 1; i < n[r]; i++) line = line sprintf("%-" w[i] + 2 "s", f[r, i]); print line f[r, n[r]] } }' |
      sed -e 's/\r$//' -e 's/\\/\\e/g' -e "s/^[.']/\\\\\&&/"
    echo ".EE"
    if [ "$short" = 1 ]; then echo ".KE"; fi
  } > "$work/quick-$step.ms"
done

# What this build measured on the synthetic frame: the amplitude field of
# kestrel-cli's result line.
amplitude=$(cut -f6 "$figures/correct.txt")
# The quick start's numbers that its text quotes: the phase margin, and the amplitude
# and the residual of its first frame.
quick=$figures/quickstart
margin=$(awk -F'\t' '$1 == "margin" { print $2 }' "$quick/phase.out")
quick_amplitude=$(head -1 "$quick/correct.out" | cut -f6)
quick_residual=$(head -1 "$quick/correct.out" | cut -f8)
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
# ".CHAPTER "Title" tag" defines \*[ref:tag], the number as a link to the heading,
# whose destination the heading's bookmark names "tag" (gropdf's link, drawn without
# a border: the number is measured for the height of the hot spot).
link() {
  local q="'"
  printf '%s\n' ".ds ref:$1 \\R${q}ref.w \\w${q}$2${q}${q}\\X${q}pdf: markstart \\\\n[rst] \\\\n[rsb] \\\\n[PDFHREF.LEADING] /Subtype /Link /Dest /$1 /Border [0 0 0] /Color [0 0 0.6]${q}$2\\X${q}pdf: markend${q}"
}
awk '$1 == ".CHAPTER" { chapter++; section = 0; if ($NF !~ /"$/) print $NF, chapter }
     $1 == ".SECTION" { section++; if ($NF !~ /"$/) print $NF, chapter "." section }' "$docs/manual.ms" |
  while read -r tag number; do link "$tag" "$number"; done > "$work/refs.ms"

set_pages() {
  groff -ms -t -Tpdf -U -ww -P-e -P-pa4 -dpaper=a4 \
        -rwindow-figure="$([ -f "$work/window.pdf" ] && echo 1 || echo 0)" \
        -dfigures="$work" -damplitude="$amplitude" -dquick-margin="$margin" \
        -dquick-amplitude="$quick_amplitude" -dquick-residual="$quick_residual" "$@" "$docs/manual.ms"
}

: > "$work/contents.ms"
set_pages -z 2> "$work/pass1.log" || { cat "$work/pass1.log" >&2; exit 1; }
grep -v '^contents|' "$work/pass1.log" >&2 && { echo "build_manual.sh: groff warned" >&2; exit 1; }
# Each line: contents|level|number|title|page|tag
awk -F'|' '$1 == "contents" { printf ".CE %s \"%s\" \"%s\" %s %s\n", $2, $3, $4, $5, $6 }' "$work/pass1.log" \
  > "$work/contents.ms"

set_pages > "$work/Kestrel.pdf" 2> "$work/pass2.log" || { cat "$work/pass2.log" >&2; exit 1; }
grep -v '^contents|' "$work/pass2.log" >&2 && { echo "build_manual.sh: groff warned" >&2; exit 1; }
mv "$work/Kestrel.pdf" "$output"
