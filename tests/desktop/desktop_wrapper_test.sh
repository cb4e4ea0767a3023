#!/usr/bin/env bash
# The wrapper the file-manager actions run, end to end: with the real zenity
# on a virtual display over the demo folder and awkward names; Cancel (a
# zenity that gives up after the first file) stopping rawlift as Ctrl-C
# does; and a run without any display.
#   desktop_wrapper_test.sh INSTALL_ROOT RAWLIFT MAKE_DEMO_FOLDER
set -u
source "$(dirname "$0")/desktop_test_lib.sh"

root=$1
rawlift=$2
make_demo_folder=$3
wrapper="$root/libexec/rawlift/rawlift-extract-desktop"
for tool in xvfb-run zenity; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'umount "$work/locked" 2>/dev/null; rm -rf -- "$work"' EXIT
stand_in_bin "$work/bin"
# The stored settings of every run here are the test's own.
export XDG_CONFIG_HOME="$work/config"

# Runs the wrapper with the stand-ins first in PATH; extra environment first.
run_wrapper() {
  local -a environment=()
  while [[ $1 == *=* ]]; do
    environment+=("$1")
    shift
  done
  env PATH="$work/bin:$PATH" RAWLIFT="$rawlift" "${environment[@]}" "$wrapper" -- "$@"
}

# The outputs under a folder that are not complete JPEGs (a start marker and
# an end marker), and the temporaries of writes that never finished.
partial_outputs() {
  local file
  find "$1" -name '.rlft-*' -print
  while IFS= read -r -d '' file; do
    [[ $(head -c 2 "$file" | od -An -tx1 | tr -d ' ') == ffd8 &&
      $(tail -c 2 "$file" | od -An -tx1 | tr -d ' ') == ffd9 ]] || printf '%s\n' "$file"
  done < <(find "$1" -path '*/extracted_jpegs*/*' -type f -print0)
}

# --- The real zenity, over the demo folder and files with awkward names.
"$make_demo_folder" "$work/demo" >/dev/null || exit 1
mkdir "$work/odd"
# Guards: a name split on blanks, cut at a quote, broken at a newline, or
# changed for a byte that is not UTF-8 on its way from the action to rawlift.
odd_names=("with space.CR2" "quote'\"s.CR2" $'new\nline.CR2' $'caf\xe9.CR2' "--json.CR2")
for name in "${odd_names[@]}"; do
  cp "$work/demo/IMG_0001.CR2" "$work/odd/$name"
done
zenity_path=$(command -v zenity)
# A shim that notes each start of zenity, then becomes the real one.
cat >"$work/bin/zenity" <<EOF
#!/bin/sh
echo "\$1" >>"$work/zenity-starts"
exec "$zenity_path" "\$@"
EOF
chmod +x "$work/bin/zenity"
odd_paths=()
for name in "${odd_names[@]}"; do odd_paths+=("$work/odd/$name"); done
xvfb-run -a env PATH="$work/bin:$PATH" RAWLIFT="$rawlift" NOTIFY_RECORD="$work/notified" \
  "$wrapper" -- "$work/demo" "${odd_paths[@]}" >"$work/out" 2>"$work/err"
check_equal "happy path: exit status" 0 "$?"
check_equal "happy path: the progress window was the real zenity" "--progress" \
  "$(cat "$work/zenity-starts" 2>/dev/null)"
for name in "${odd_names[@]}"; do
  check "happy path: output of $(printf %q "$name")" test -s "$work/odd/extracted_jpegs/${name%%.*}_RLFT.jpg"
done
demo_outputs=$(find "$work/demo/extracted_jpegs" -type f | wc -l)
check "happy path: the demo folder's previews" test "$demo_outputs" -gt 0
check_equal "happy path: nothing partial" "" "$(partial_outputs "$work")"
notified=$(recorded "$work/notified")
check_equal "happy path: the notification's headline" "JPEG previews extracted" \
  "$(sed -n 4p <<<"$notified")"
check "happy path: the summary reached the notification" \
  grep -q "^JPEGs Extracted: $((demo_outputs + ${#odd_names[@]})) Total - $((demo_outputs + ${#odd_names[@]})) New$" <<<"$notified"
check "happy path: and standard output" grep -q "^Files Scanned: " "$work/out"
check_equal "happy path: no zenity left" "" "$(pgrep -f "$zenity_path --progress" || true)"

# A slow selection: reduced copies make each file take a while.
mkdir "$work/slow"
for i in $(seq 1 200); do
  ln "$work/demo/IMG_0001.CR2" "$work/slow/IMG_$i.CR2"
done
"$rawlift" settings --smaller --max-width 320 >/dev/null

# --- A display that cannot be opened: zenity fails at once, as a Cancel would
# end it. Guards: the run cancelled although nobody asked.
rm -f "$work/notified"
run_wrapper DISPLAY=:rawlift-no-such-display NOTIFY_RECORD="$work/notified" "$work/slow" \
  >"$work/out" 2>"$work/err"
check_equal "no window after all: exit status" 0 "$?"
check_equal "no window after all: every output" 200 \
  "$(find "$work/slow/extracted_jpegs" -type f | wc -l)"
check_equal "no window after all: the headline" "JPEG previews extracted" \
  "$(recorded "$work/notified" | sed -n 4p)"
rm -rf "$work/slow/extracted_jpegs" "$work/slow/extracted_jpegs_320"

# --- Cancel: a zenity that reads the first file's lines, then answers as
# Cancel does.
cat >"$work/bin/zenity" <<'EOF'
#!/usr/bin/env bash
[[ $1 == --progress ]] || exit 0
for _ in 1 2 3 4; do IFS= read -r _ || break; done
exit 1
EOF
rm -f "$work/notified"
run_wrapper DISPLAY=:rawlift-test NOTIFY_RECORD="$work/notified" "$work/slow" >"$work/out" 2>"$work/err"
check_equal "cancel: exit status of an interruption" 130 "$?"
written=$(find "$work/slow/extracted_jpegs" -type f 2>/dev/null | wc -l)
check "cancel: stopped before the end ($written of 200 written)" test "$written" -lt 200
check_equal "cancel: nothing partial" "" "$(partial_outputs "$work/slow")"
notified=$(recorded "$work/notified")
check_equal "cancel: the headline says so" "Extraction interrupted: stopped before the end" \
  "$(sed -n 4p <<<"$notified")"
check "cancel: the summary says so" grep -q "^stopping after the current file" <<<"$notified"
check "cancel: the summary counts what was done" grep -q "^JPEGs Extracted: $written Total - $written New$" <<<"$notified"
check "cancel: a stopped run records no time" bash -c '! grep -q "Total Time" <<<"$1"' _ "$notified"
check_equal "cancel: rawlift has ended" "" "$(pgrep -f "$rawlift extract --progress" || true)"

# --- No display, no notification service: the run goes on, the file lines on
# standard error and the summary on standard output.
rm -rf "$work/demo/extracted_jpegs"
env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH" RAWLIFT="$rawlift" NOTIFY_FAILS=1 \
  "$wrapper" -- "$work/demo" >"$work/out" 2>"$work/err"
check_equal "headless: exit status" 0 "$?"
check "headless: file lines on standard error" grep -q "^IMG_0001.CR2: written (" "$work/err"
check "headless: the summary on standard output" grep -q "^JPEGs Extracted: " "$work/out"
check_equal "headless: the outputs" "$demo_outputs" "$(find "$work/demo/extracted_jpegs" -type f | wc -l)"

# --- A temporary folder whose name holds a quote and a command.
# Guards: the clean-up of the wrapper's scratch folder reading TMPDIR as shell
# syntax (the folder left behind, or the command run).
odd_tmp="$work/tmp'; touch $work/injected; '"
mkdir -p "$odd_tmp"
rm -rf "$work/demo/extracted_jpegs"
env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH" RAWLIFT="$rawlift" NOTIFY_FAILS=1 \
  TMPDIR="$odd_tmp" "$wrapper" -- "$work/demo" >"$work/out" 2>"$work/err"
check_equal "odd TMPDIR: exit status" 0 "$?"
check_equal "odd TMPDIR: scratch folder removed" "" "$(ls -A "$odd_tmp")"
check "odd TMPDIR: nothing run from its name" test ! -e "$work/injected"

# --- A card's DCIM folder: searched with its sub-folders.
# Guards: an action that searches only the folder selected and ends telling
# a desktop user to use --recursive.
mkdir -p "$work/card/DCIM/100CANON"
cp "$work/demo/IMG_0001.CR2" "$work/card/DCIM/100CANON/"
env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH" RAWLIFT="$rawlift" NOTIFY_FAILS=1 \
  "$wrapper" -- "$work/card/DCIM" >"$work/out" 2>"$work/err"
check_equal "card: exit status" 0 "$?"
check "card: the sub-folder's preview" test -s "$work/card/DCIM/100CANON/extracted_jpegs/IMG_0001_RLFT.jpg"
check "card: no advice to use --recursive" bash -c '! grep -q -- "--recursive" "$1"' _ "$work/out"
check "card: the message says where the previews are" \
  grep -q "^Previews are written in the folder extracted_jpegs beside each RAW file.$" "$work/out"

# --- A card that cannot be written (a read-only mount, which stops root
# too): the folder chooser is asked, and the previews go there.
# Guards: a locked card that cannot be processed at all.
mkdir -p "$work/locked" "$work/chosen"
if [[ -n $work && -d $work/bin ]] && mount -t tmpfs -o size=4m tmpfs "$work/locked" 2>/dev/null; then
  cp "$work/demo/IMG_0001.CR2" "$work/demo/IMG_0002.CR2" "$work/locked/"
  mount -o remount,ro "$work/locked"
  # A chooser that answers with the chosen folder, a progress window that
  # reads to the end.
  printf '#!/usr/bin/env bash\ncase $1 in\n  --file-selection) echo "$*" >"%s"; printf "%%s\\n" "%s" ;;\n  --progress) cat >/dev/null ;;\nesac\nexit 0\n' \
    "$work/chooser-args" "$work/chosen" >"$work/bin/zenity"
  chmod +x "$work/bin/zenity"
  rm -f "$work/notified"
  run_wrapper DISPLAY=:rawlift-test NOTIFY_RECORD="$work/notified" "$work/locked" \
    >"$work/out" 2>"$work/err"
  check_equal "locked card: exit status" 0 "$?"
  check "locked card: the chooser named the folder" grep -qF "$work/locked cannot be written" "$work/chooser-args"
  check_equal "locked card: the previews in the chosen folder" 2 \
    "$(find "$work/chosen/extracted_jpegs" -name '*_RLFT.jpg' | wc -l)"
  check "locked card: the message says where" grep -qxF "Previews are written under $work/chosen." \
    <<<"$(recorded "$work/notified")"
  # The chooser cancelled: nothing is run, and the user is told.
  printf '#!/bin/sh\n[ "$1" = --file-selection ] && exit 1\nexit 0\n' >"$work/bin/zenity"
  rm -f "$work/notified"
  run_wrapper DISPLAY=:rawlift-test NOTIFY_RECORD="$work/notified" "$work/locked" >/dev/null 2>&1
  check_equal "locked card, no folder chosen: exit status" 1 "$?"
  check_equal "locked card, no folder chosen: the headline" "No JPEG previews extracted" \
    "$(recorded "$work/notified" | sed -n 4p)"
  # No window to ask in: the run goes on and the message tells what could
  # not be written, and where. Guards: "JPEG previews extracted" announced
  # over a card where every write failed.
  env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH" RAWLIFT="$rawlift" NOTIFY_FAILS=1 \
    "$wrapper" -- "$work/locked" >"$work/out" 2>"$work/err"
  check_equal "locked card, headless: exit status" 1 "$?"
  check_equal "locked card, headless: the headline" "Some JPEG previews could not be written" \
    "$(head -n 1 "$work/out")"
  check "locked card, headless: what and where" grep -qxF \
    "2 previews could not be written: output folder cannot be created: read-only file system in $work/locked" \
    "$work/out"
  umount "$work/locked"
  rm -f -- "$work/bin/zenity"
else
  skipped+=" [a read-only mount cannot be made here]"
fi

# --- Nothing selected, and no rawlift.
env -u DISPLAY PATH="$work/bin:$PATH" NOTIFY_FAILS=1 "$wrapper" >"$work/out" 2>&1
check_equal "nothing selected: a usage error" 2 "$?"
env -u DISPLAY PATH="$work/bin:$PATH" NOTIFY_FAILS=1 RAWLIFT="$work/no-such-rawlift" \
  "$wrapper" -- "$work/demo" >"$work/out" 2>&1
check_equal "no rawlift: status 127" 127 "$?"
check "no rawlift: says so" grep -q "rawlift command was not found" "$work/out"

finish
