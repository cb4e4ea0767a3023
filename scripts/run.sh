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
exec "$bin/cli/rawlift" extract "$folder"
