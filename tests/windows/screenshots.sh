#!/usr/bin/env bash
# Screenshots of both dialogs under a virtual X display, for looking at
# them (they are not committed).
#   tests/windows/screenshots.sh [BUILD_DIR] [OUT_DIR]
# BUILD_DIR is a Windows build tree (default build/windows); needs wine,
# xvfb-run and ImageMagick's `import`.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${1:-$root/build/windows}")
out=$(realpath -m "${2:-$build/screenshots}")
mkdir -p "$out"
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"

preview="$build/tests/windows/dialog_preview.exe"
demo="$build/tests/fixtures/make_demo_folder.exe"
[[ -x "$preview" ]] || { echo "build the dialog_preview target first" >&2; exit 1; }

if [[ -z "${RAWLIFT_SCREENSHOT_INNER:-}" ]]; then
  # Runs itself again inside the virtual display.
  RAWLIFT_SCREENSHOT_INNER=1 exec xvfb-run -a -s "-screen 0 480x300x24" "$0" "$build" "$out"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [[ -x "$demo" ]]; then
  wine "$demo" "Z:${work//\//\\}\\demo" >/dev/null 2>&1 || true
fi
mkdir -p "$work/demo"

winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

shoot() {  # shoot NAME ARGS...
  local name=$1; shift
  local marker="$work/$name.shown"
  # A wine desktop window of the screen's size: wine draws the dialogs'
  # captions and frames itself there, with no window manager needed.
  wine explorer /desktop=rawlift,480x300 "$preview" "$name" "$(winpath "$marker")" "$@" &
  local pid=$!
  for _ in $(seq 1 300); do [[ -e "$marker" ]] && break; sleep 0.1; done
  import -window root "$out/$name.png"
  wait "$pid" || true
  echo "$out/$name.png"
}

shoot preferences
shoot progress "$(winpath "$work/demo")"
