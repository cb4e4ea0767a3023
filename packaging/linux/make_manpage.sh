#!/usr/bin/env bash
# Writes the man page rawlift(1) from the --help texts of a built rawlift, so
# that the page says what the program says:
#   make_manpage.sh RAWLIFT VERSION DOCDIR OUT
# The commands are those of the "Commands:" list of `rawlift --help`; each
# gets the text of `rawlift COMMAND --help` (layout: help_to_man.awk).
set -euo pipefail
if (($# != 4)); then
  echo "usage: $0 RAWLIFT VERSION DOCDIR OUT" >&2
  exit 2
fi
rawlift=$1
version=$2
docdir=$3
out=$4
here=$(cd "$(dirname "$0")" && pwd)

usage=$("$rawlift" --help)
mapfile -t commands < <(printf '%s\n' "$usage" |
  awk '/^Commands:$/ { listing = 1; next } listing && /^[ ]*$/ { exit }
       listing && /^[ ]+[a-z][a-z0-9-]*[ ]+[^ ]/ { print $1 }')
if ((${#commands[@]} == 0)); then
  echo "$0: no commands in the usage text of $rawlift" >&2
  exit 1
fi

{
  echo "@@usage"
  printf '%s\n' "$usage"
  for command in "${commands[@]}"; do
    echo "@@command $command"
    # A command whose --help fails would give an incomplete page: stop.
    "$rawlift" "$command" --help
  done
} | awk -v version="$version" -v docdir="$docdir" -f "$here/help_to_man.awk" >"$out.tmp"
mv "$out.tmp" "$out"
