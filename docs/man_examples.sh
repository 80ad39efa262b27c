#!/usr/bin/env bash
# The man pages' examples, run for real at every build, and the pages made from their
# templates with what the examples printed.
#   man_examples.sh KESTREL_CLI KESTREL_MAKE_FRAMES FOLDER PAGE.in...
# writes FOLDER/PAGE for each template and keeps, in FOLDER/runs, each example's
# run folder with the command (command), its standard output (stdout) and its small
# files.
#
# In a template's EXAMPLES, a line "$ COMMAND" of an example (.EX) is run as a shell
# runs it, lines ending in \(rs continuing it, in a folder of its own that holds the
# frames the examples name: flat_001.fits (a raw 16-bit flat), night/frame1.fits to
# frame3.fits and m33_001.fits and m33_002.fits (32-bit light frames), all with a band
# at phase 8, as kestrel-make-frames writes them. The settings carry over from one
# example to the next, as a user's do: a phase stored by one is read by the next.
# A line "@OUTPUT KEY@" under a command becomes the first lines of what it printed;
# its run folder is then runs/KEY. "@NAME@" in the text becomes the value that the
# table of quotes below reads from an example's run.
# The build fails when an example exits non-zero, when a marker would be left empty
# or unfilled, or when a quoted value is not of the shape the text expects.
set -euo pipefail
cli=$(realpath "$1")
make_frames=$(realpath "$2")
folder=$(realpath -m "$3")
shift 3
runs=$folder/runs
rm -rf "$runs"
mkdir -p "$runs/bin"
# A portable copy: the phase an example stores goes into runs/bin/kestx.ini, never
# into the settings of the build or of its user.
cp "$cli" "$runs/bin/kestrel-cli"
cp "$make_frames" "$runs/bin/kestrel-make-frames"
export PATH="$runs/bin:$PATH"
# The lines of output a page shows under a command; more are cut with "...".
shown=4

fail() { echo "man_examples.sh: $*" >&2; exit 1; }

# The examples that cannot run on a build machine, and why; each is shown as written.
not_run() {
  case $1 in
    kestrel | "kestrel "*) echo "the window stays open until its user closes it" ;;
    *"| parallel "*) echo "GNU parallel runs it by ssh on the machines node1 and node2" ;;
    *) return 1 ;;
  esac
}

# The values the pages' text quotes: NAME KEY FILE LINE FIELD PATTERN, field FIELD
# (tab-separated; 0 for the whole line, its tabs read as spaces) of line LINE of FILE
# in the run folder of the example KEY, which must match PATTERN (the rest of the
# entry, spaces and all).
quotes=(
  "profile-phase profile stdout 1 3 ^phase [0-9]+$"
  "profile-columns profile stdout 1 4 ^columns [0-9]+ to [0-9]+$"
  "profile-header profile stdout 2 0 ^[a-z ]+$"
  "scores-header scores stdout 2 0 ^[a-z ]+$"
  "csv-header csv results.csv 1 0 ^[A-Za-z,]+$"
)

# Text as groff sets it literally: backslashes, minus signs, a leading dot or quote.
escape() { sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\&&/"; }
# A command as the shell reads it from the page's line.
unescape() { sed -e 's/\\-/-/g' -e 's/\\(rs/\\/g' -e 's/\\e/\\/g' -e 's/\\(ti/~/g' -e 's/\\&//g'; }

# The first lines of an output, the tab-separated fields of neighbouring lines with
# as many fields lined up in columns (a line without a digit, a table's header,
# begins a new table), two spaces apart, or one where two would make a
# line wider than a terminal shows under the page's indent.
excerpt() {
  local lines
  lines=$(wc -l < "$1")
  head -n "$shown" "$1" | awk -F'\t' '
    function flush(last,   r, i, line, gap) {
      for (gap = 2; gap >= 1; gap--) {
        width = 0
        for (i = 1; i < fields; i++) width += w[i] + gap
        if (width + w[fields] <= 72) break
      }
      for (r = first; r <= last; r++) {
        line = ""; for (i = 1; i < fields; i++) line = line sprintf("%-" w[i] + (gap < 1 ? 1 : gap) "s", f[r, i])
        print line f[r, fields]
      }
      split("", w)
    }
    NR == 1 || NF != fields || !/[0-9]/ { if (NR > 1) flush(NR - 1); first = NR; fields = NF }
    { for (i = 1; i <= NF; i++) { f[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
    END { flush(NR) }' | escape
  if [ "$lines" -gt "$shown" ]; then echo '\&...'; fi
}

# The frames the examples name, made once and copied for each.
(
  mkdir -p "$runs/frames" && cd "$runs/frames"
  kestrel-make-frames --uint16 flat 1 4008 600 && mv flat/frame1.fits flat_001.fits
  kestrel-make-frames night 3 4008 600
  kestrel-make-frames m33 2 4008 600 && mv m33/frame1.fits m33_001.fits && mv m33/frame2.fits m33_002.fits
  rmdir flat m33
)

examples=0
# run PAGE COMMAND: the example in a fresh folder with the frames it names.
run() {
  examples=$((examples + 1))
  last=$runs/$1.$examples
  cp -R "$runs/frames" "$last"
  printf '%s\n' "$2" > "$last/command"
  (cd "$last" && bash -c "$2" > stdout 2> stderr) || { cat "$last/stderr" >&2; fail "$1: the example '$2' failed"; }
  # The frames go; what the example printed and wrote beside them stays.
  find "$last" -name '*.fits' -delete
}

# fill TEMPLATE PAGE: the page with every example run and every marker filled.
fill() {
  local name section= command= last= line key
  name=$(basename "$2")
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in .SH\ *) section=${line#.SH } ;; esac
    if [ "$section" = EXAMPLES ] && { [ -n "$command" ] || [[ $line == '$ '* ]]; }; then
      command+=$(printf '%s\n' "${line#\$ }" | unescape)
      if [[ $command == *\\ ]]; then
        command+=$'\n'
      elif reason=$(not_run "$command"); then
        printf '%s: not run: %s (%s)\n' "$name" "${command%%$'\n'*}" "$reason" >> "$runs/not-run.txt"
        command= last=
      else
        run "$name" "$command"
        command=
      fi
    elif [[ $line =~ ^@OUTPUT\ ([a-z0-9-]+)@$ ]]; then
      key=${BASH_REMATCH[1]}
      [ -n "$last" ] || fail "$name: @OUTPUT $key@ follows no example that ran"
      [ -s "$last/stdout" ] || fail "$name: the example above @OUTPUT $key@ printed nothing"
      [ -e "$runs/$key" ] && fail "$name: two examples are called $key"
      mv "$last" "$runs/$key"
      last=
      excerpt "$runs/$key/stdout"
      continue
    fi
    printf '%s\n' "$line"
  done < "$1" > "$2.tmp"
  [ -z "$command" ] || fail "$name: the example '$command' does not end"

  # The values of the quotes, for the text's markers.
  local entry quote key file at field pattern value script=
  for entry in "${quotes[@]}"; do
    read -r quote key file at field pattern <<< "$entry"
    grep -q "@$quote@" "$2.tmp" || continue
    [ -f "$runs/$key/$file" ] || fail "$name: @$quote@ quotes $file of the example $key, which it did not write"
    value=$(awk -F'\t' -v at="$at" -v field="$field" \
                'NR == at { sub(/\r$/, ""); if (field == 0) { gsub(/\t/, " "); print } else print $field }' "$runs/$key/$file")
    [[ $value =~ $pattern ]] || fail "$name: @$quote@ reads '$value' from $key/$file, not a value of its shape"
    printf '%s\t%s\t%s\t%s\n' "$quote" "$key" "$file" "$value" >> "$folder/quotes.txt"
    # as sed's replacement reads it
    value=$(printf '%s\n' "$value" | escape | sed -e 's/[\\&|]/\\&/g')
    script+="s|@$quote@|$value|g;"
  done
  sed -e "$script" "$2.tmp" > "$2.tmp2"
  if grep -n '@[A-Za-z0-9 -]*@' "$2.tmp2" >&2; then fail "$name: markers left unfilled"; fi
  mv "$2.tmp2" "$2"
  rm -f "$2.tmp"
}

: > "$folder/quotes.txt"
: > "$runs/not-run.txt"
for template in "$@"; do
  page=$(basename "$template" .in)
  fill "$template" "$folder/$page"
done
rm -rf "$runs/frames"
