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

# ---- BEGIN preview-per-file block: while `rawlift extract` is not available ----
# Shows what the engine finds in each file and writes each extractable preview
# to FOLDER/previews/NAME.jpg. To switch to the extraction job, delete this
# block and uncomment the exec line after it.
mkdir -p "$folder/previews"
for file in "$folder"/*; do
  [[ -f "$file" ]] || continue
  name=$(basename "$file")
  "$rawlift" identify "$file" | grep -E '^(path|make|model|preview_offset|preview_length|extractable):' || true
  if "$rawlift" preview --force "$file" -o "$folder/previews/$name.jpg"; then
    echo "  -> previews/$name.jpg"
  fi
  echo
done
exit 0
# ---- END preview-per-file block ----
# exec "$rawlift" extract "$folder"
