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

# Commands and their output as a terminal shows them: "$ " and each command, then its
# output, the tab-separated fields of each command's output lined up in columns, as
# the lines of an example (.EX).
example() {
  awk -F'\t' '
    BEGIN { first = 1 }
    function flush(last,   r, i, line) { # the output lines since the last command
      for (r = first; r <= last; r++) {
        if (n[r] <= 1) { print lines[r]; continue }
        line = ""; for (i = 1; i < n[r]; i++) line = line sprintf("%-" w[i] + 2 "s", f[r, i]); print line f[r, n[r]]
      }
      split("", w); first = last + 1
    }
    /^\$ / { flush(NR - 1); print; first = NR + 1; next }
    { lines[NR] = $0; n[NR] = NF; for (i = 1; i <= NF; i++) { f[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
    END { flush(NR) }' |
    sed -e 's/\r$//' -e 's/\\/\\e/g' -e "s/^[.']/\\\\\&&/"
}
# Each block of the quick start becomes quick-NAME.ms.
quick=$figures/quickstart
for step in frames phase correct profile balanced list results; do
  # A short example is kept on one page; the long tables may run on to the next.
  short=$([ "$(wc -l < "$quick/$step.txt")" -le 12 ] && echo 1 || echo 0)
  {
    if [ "$short" = 1 ]; then echo ".KS"; fi
    echo ".EX"
    example < "$quick/$step.txt"
    echo ".EE"
    if [ "$short" = 1 ]; then echo ".KE"; fi
  } > "$work/quick-$step.ms"
done
# The band profile of the manual's frame, its first lines and its last two.
{
  echo ".EX"
  { head -3 "$figures/band-profile.txt"; printf '...\n'; tail -2 "$figures/band-profile.txt"; } | example
  echo ".EE"
} > "$work/profile-example.ms"

# Every number the manual's text quotes, as kestrel-cli printed it for this build:
# "NAME VALUE" lines, each checked to be a number before it becomes the string
# \*[NAME]. A line of output that is missing leaves its name undefined, which groff
# reports, and fails the build like an empty or garbled value.
phase_numbers() { # NAME FILE: the phase and significance of the first line, and the
  # contrast of the phase and of the runner-up (the next best score) from the table
  awk -F'\t' -v n="$1" '
    NR == 1 { phase = $3; print n "-phase " $3; print n "-significance " $4; next }
    $1 == "phase" { next }
    { score[$1] = $2; contrast[$1] = $3; significance[$1] = $4 }
    END {
      best = ""; lowest = ""
      for (p in score) {
        if (p != phase && (best == "" || score[p] > score[best] || (score[p] == score[best] && p + 0 < best + 0))) best = p
        if (lowest == "" || contrast[p] + 0 < contrast[lowest] + 0) lowest = p
      }
      print n "-contrast " contrast[phase]
      print n "-runner-up " best
      print n "-runner-up-contrast " contrast[best]
      print n "-runner-up-significance " significance[best]
      print n "-lowest " lowest
    }' "$2"
}
profile_numbers() { # NAME FILE: the amplitude and the residual with its phase and noise,
  # and how many times the noise the residual is
  awk -F'\t' -v n="$1" '
    $1 == "amplitude" { print n "-amplitude " $2 }
    $1 == "residual" { print n "-residual " $2; print n "-residual-phase " $4; print n "-noise " $6
                       if ($6 > 0) printf "%s-times %.0f\n", n, $2 / $6 }' "$2"
}
result_numbers() { # NAME FILE: the amplitude and the residual of the first result line
  awk -F'\t' -v n="$1" 'NR == 1 { print n "-amplitude " $6; print n "-residual " $8 }' "$2"
}
{
  # the version, as kestrel-cli --version names it
  awk 'NR == 1 { print "version " $2 }' "$quick/version.out"
  # kestrel-cli's result line for the manual's synthetic frame
  awk -F'\t' '{ print "amplitude " $6 }' "$figures/correct.txt"
  phase_numbers good "$figures/phase-good.txt"
  phase_numbers none "$figures/phase-none.txt"
  profile_numbers right "$figures/band-profile.txt"
  profile_numbers wrong "$figures/profile-wrong.txt"
  phase_numbers quick "$quick/phase.out"
  result_numbers quick "$quick/correct.out"
  profile_numbers quick-profile "$quick/profile.out"
  result_numbers quick-balanced "$quick/balanced.out"
  profile_numbers quick-balanced-profile "$quick/balanced-profile.out"
} | while read -r name value; do
  if ! [[ $value =~ ^-?([0-9]+(\.[0-9]+)?|inf)$ ]]; then
    echo "build_manual.sh: the number $name that the manual quotes is not in kestrel-cli's output" >&2
    exit 1
  fi
  echo ".ds $name $value"
done > "$work/numbers.ms"

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
        -dfigures="$work" "$@" "$docs/manual.ms"
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
