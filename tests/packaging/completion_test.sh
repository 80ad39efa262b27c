#!/usr/bin/env bash
# The bash completion of kestrel-cli offers exactly the options that the program's own
# usage text lists for each command, and the right kind of file for each word.
#   completion_test.sh KESTREL_CLI COMPLETION_FILE
set -uo pipefail
cli=$1
helpers=/usr/share/bash-completion/bash_completion
[ -f "$helpers" ] || { echo "SKIP: bash-completion not installed (run ./setup.sh)"; exit 0; }
source "$helpers"
source "$2"
failures=0

# Completes the last of the given words, as bash does at a Tab, and prints the choices.
complete_words() {
  COMP_WORDS=(kestrel-cli "$@")
  COMP_CWORD=$#
  COMP_LINE="kestrel-cli $*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _kestrel_cli kestrel-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {
  local got
  got=$(complete_words "${@:2}")
  [ "$got" = "$1" ] || { echo "FAIL: kestrel-cli ${*:2}<Tab> offers '$got', expected '$1'" >&2; failures=$((failures + 1)); }
}

# Each usage line "kestrel-cli COMMAND ..." and the lines continuing it name its options;
# the usage ends at the first empty line.
usage_options() {
  "$cli" --help | awk -v want="$1" '
    /^$/ { exit }
    match($0, /kestrel-cli [a-z-]+/) { command = substr($0, RSTART + 12, RLENGTH - 12) }
    command == want { while (match($0, /--[a-z0-9-]+/)) { print substr($0, RSTART, RLENGTH); $0 = substr($0, RSTART + RLENGTH) } }' |
    sort | tr '\n' ' '
}

expect "--help --version correct phase profile watch " ""
for command in correct phase profile watch; do
  expect "$(usage_options "$command")" "$command" --
done

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cd "$folder" && mkdir night && touch m31.fits M33.FIT notes.txt results.csv profile.svg scores.svg
expect "M33.FIT m31.fits night " correct --phase-1x1 8 ""
expect "M33.FIT m31.fits night " phase --save ""
expect "night " correct --output-dir ""
expect "night results.csv " correct --csv ""
expect " " correct --jobs ""
expect "balanced standard " profile --estimator ""
expect "night profile.svg scores.svg " profile --plot ""
expect "night profile.svg scores.svg " phase --plot ""
expect " " correct -- --
expect "night " watch --settle 1 ""
expect "correct skip " watch --existing ""
expect " " frobnicate ""

[ "$failures" -eq 0 ] || exit 1
echo "completion offers what the usage text lists"
