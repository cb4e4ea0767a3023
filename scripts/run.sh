#!/usr/bin/env bash
# Sets up, builds and runs Rawlift over a folder (default: a generated demo folder).
#   scripts/run.sh [FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" native
bin="$root/build/native"
folder=${1:-}
if [[ -z "$folder" ]]; then
  folder="$root/build/demo"
  rm -rf "$folder"
  "$bin/tests/fixtures/make_demo_folder" "$folder"
  echo "Demo folder: $folder"
fi
rawlift="$bin/cli/rawlift"

# The extraction job over the folder: previews go to FOLDER/extracted_jpegs,
# the summary to standard output; a second run writes nothing new.
status=0
"$rawlift" extract "$folder" || status=$?
if [[ -d "$folder/extracted_jpegs" ]]; then
  echo "Previews: $folder/extracted_jpegs"
fi
exit "$status"
