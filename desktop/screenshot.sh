#!/usr/bin/env bash
# Takes a screenshot of the "Extract JPEG previews" progress window: runs the
# installed wrapper under Xvfb over a demo folder (made slow with reduced
# copies so the window stays up) and saves the screen while zenity shows it.
# Not run by CI; the pictures are not kept in the project.
#
#   desktop/screenshot.sh [BUILD_DIR] [OUT.png]
# BUILD_DIR (default build/native) needs the targets rawlift and
# make_demo_folder. Needs xvfb-run, zenity, xdotool and imagemagick's import.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build/native}" && pwd)
out=$(realpath -m "${2:-$PWD/rawlift-extract-progress.png}")
# Copies of one demo file: enough work for the window to be seen.
readonly copies=300

for tool in xvfb-run zenity xdotool import; do
  command -v "$tool" >/dev/null || {
    echo "screenshot.sh: $tool is missing" >&2
    exit 1
  }
done
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT

cmake --install "$build" --component desktop --prefix "$work/root" >/dev/null
"$build/tests/fixtures/make_demo_folder" "$work/demo" >/dev/null
for i in $(seq 1 "$copies"); do
  ln "$work/demo/IMG_0001.CR2" "$work/demo/IMG_$((1000 + i)).CR2"
done
export XDG_CONFIG_HOME="$work/config"
"$build/cli/rawlift" settings --smaller --max-width 640 >/dev/null
# The summary goes nowhere: no notification, no dialog waiting for OK.
mkdir "$work/bin"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/notify-send"
chmod +x "$work/bin/notify-send"

cat >"$work/shoot.sh" <<'EOF'
#!/usr/bin/env bash
set -u
work=$1 build=$2 out=$3
PATH="$work/bin:$PATH" RAWLIFT="$build/cli/rawlift" \
  "$work/root/libexec/rawlift/rawlift-extract-desktop" -- "$work/demo" >/dev/null &
wrapper=$!
window=$(timeout 20 xdotool search --sync --name "Extract JPEG previews" | head -n 1)
sleep 0.4  # a few files into the run, the text and the bar drawn
if [[ -n $window ]]; then
  import -window "$window" "$out"
else
  echo "screenshot.sh: the progress window did not appear" >&2
fi
wait "$wrapper"
[[ -n $window ]]
EOF
xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/shoot.sh" "$work" "$build" "$out"
echo "$out"
