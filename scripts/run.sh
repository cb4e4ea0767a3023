#!/usr/bin/env bash
# Sets up, builds and runs `rawlift extract`: over the paths given, or over a
# generated demo folder when none is given.
#   scripts/run.sh [EXTRACT_OPTIONS] [PATH...]
# Options and paths go to `rawlift extract` as they are, for example a whole
# card with its sub-folders:
#   scripts/run.sh -r /media/card/DCIM
# Only what the run needs is installed and built (the rawlift binary and the
# demo folder maker, in build/run, without tests or benchmarks).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" run
dir="$root/build/run"
if [[ ! -f $dir/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$dir" -G Ninja -DRAWLIFT_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
    --log-level=WARNING
fi
cmake --build "$dir" --target rawlift make_demo_folder -j "$(nproc)"
rawlift="$dir/cli/rawlift"

# Is any argument a PATH? The options that take a value are skipped with it.
args=("$@")
has_path=0
for ((i = 0; i < ${#args[@]}; i++)); do
  case ${args[i]} in
    --) ((i + 1 < ${#args[@]})) && has_path=1; break ;;
    -j | --jobs | --max-width | --max-height | --metadata | -o | --output) i=$((i + 1)) ;;
    -*) ;;
    *) has_path=1 ;;
  esac
done
if ((!has_path)); then
  folder="$root/build/demo"
  rm -rf "$folder"
  "$dir/tests/fixtures/make_demo_folder" "$folder"
  echo "Demo folder: $folder"
  args+=("$folder")
fi

# The previews go to extracted_jpegs beside each RAW file (or under -o DIR);
# the summary to standard output; a second run writes nothing new.
status=0
"$rawlift" extract "${args[@]}" || status=$?
if ((!has_path)) && [[ -d $folder/extracted_jpegs ]]; then
  echo "Previews: $folder/extracted_jpegs"
fi
exit "$status"
