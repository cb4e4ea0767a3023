#!/usr/bin/env bash
# `rawlift extract` run as a user would: one table of runs, each a folder
# state, the operands and options, and what must come of it (exit status,
# lines on standard error, counts of --json, outputs on disk).
#
#   extract_runs_test.sh RAWLIFT MAKE_DEMO_FOLDER
#
# Runs whose folder state relies on permissions run as the unprivileged user
# `nobody` (as root every write succeeds); without a way to become it (not
# root, no setpriv) they are skipped. The full-disk run needs a small tmpfs
# mounted here; where mounting is not allowed it is skipped.
set -u
rawlift_built=$1
make_demo=$2
source "$(dirname -- "${BASH_SOURCE[0]}")/../desktop/desktop_test_lib.sh"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/rawlift-runs.XXXXXX")
mounted=""
cleanup() {
  [[ -n $mounted ]] && umount "$mounted" 2>/dev/null
  chmod -R u+rwX "$scratch" 2>/dev/null
  rm -rf -- "$scratch"
}
trap cleanup EXIT
chmod 755 "$scratch"
# The command where every user can run it (the build tree may not be open
# to others).
rawlift="$scratch/rawlift"
cp -- "$rawlift_built" "$rawlift" && chmod 755 "$rawlift"
export XDG_CONFIG_HOME="$scratch/config"

can_drop=0
if [[ $(id -u) -eq 0 ]] && command -v setpriv >/dev/null 2>&1 &&
  setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
  can_drop=1
fi

# The demo card: 9 RAW files, 7 with a preview, 2 without (one a bitmap-only
# NEF, one written by a converter), and files that are no RAW files.
"$make_demo" "$scratch/demo" >/dev/null
readonly demo_extractable=7

# A fresh copy of the demo card at $1.
demo_copy() {
  mkdir -p -- "$1" && cp -- "$scratch/demo"/* "$1"/
}

# Folder states, one function each; $1 is the run's folder.
state_plain() { demo_copy "$1/card"; }
state_read_only() {
  demo_copy "$1/card"
  chmod -R a+rX "$1" && chmod a-w "$1/card"
}
state_read_only_with_target() {
  state_read_only "$1"
  mkdir -p "$1/target" && chmod 777 "$1/target"
}
state_unreadable() {
  demo_copy "$1/card"
  chmod -R a+rwX "$1" && chmod 000 "$1/card/IMG_0001.CR2"
}
state_fifo() {
  demo_copy "$1/card"
  mkfifo "$1/card/pipe.NEF"
}
state_hidden_and_stems() {
  mkdir -p "$1/card"
  cp "$scratch/demo/IMG_0001.CR2" "$1/card/.first.CR2"
  cp "$scratch/demo/IMG_0002.CR2" "$1/card/.second.CR2"
  cp "$scratch/demo/IMG_0001.CR2" "$1/card/._IMG_0001.CR2"
  cp "$scratch/demo/IMG_0001.CR2" "$1/card/IMG_0001.CR2"
  cp "$scratch/demo/DSC_0001.NEF" "$1/card/IMG_0001.NEF"
  cp "$scratch/demo/DSC_0003.NEF" "$1/card/IMG_0001.ORF" # no JPEG preview
}
state_too_deep() {
  local dir="$1/card" i
  for ((i = 0; i <= 65; i++)); do dir="$dir/d"; done
  mkdir -p "$dir" && cp "$scratch/demo/IMG_0001.CR2" "$dir/"
  cp "$scratch/demo/IMG_0002.CR2" "$1/card/"
}
state_full_disk() {
  demo_copy "$1/card"
  mkdir -p "$1/small"
  mount -t tmpfs -o size=64k tmpfs "$1/small" 2>/dev/null || return 77
  mounted="$1/small"
}

# Guards: a run where every write failed reported as a success (exit 0, no
# word on standard error, the failures counted as files without a preview);
# an unreadable file told apart by the way it was reached; a FIFO that hangs
# the run; hidden names and shared stems sharing one output; folders left
# out unseen in --json; a full disk passing unnoticed; bounds outside
# 1..65535 accepted.
# The table. Fields, separated by " | ":
#   name | state | user (root or nobody) | arguments (words; @ is the run's
#   folder) | exit status | a pattern each line of standard error must match,
#   in order, ";;"-separated ("-" for none) | --json counts that must appear
#   (";;"-separated "key": value pieces, "-" for none)
runs=$(
  cat <<'EOF'
plain folder | plain | root | @/card | 0 | - | "new": 7;;"none": 2;;"failed": 0
second run finds all present | plain | root | @/card ;; @/card | 0 | - | "present": 7;;"new": 0
read-only folder | read_only | nobody | @/card | 1 | ^rawlift extract: 9 previews could not be written: output folder cannot be created: permission denied in .*/card$ | "new": 0;;"none": 0;;"failed": 9;;"folder_not_created": 9
read-only folder, --output elsewhere | read_only_with_target | nobody | -o @/target @/card | 0 | - | "new": 7;;"failed": 0
read-only folder, --output inside it | read_only | nobody | -o @/card/previews @/card | 1 | ^rawlift extract: 9 previews could not be written: output folder cannot be created: permission denied in .*/card/previews$ | "failed": 9;;"folder_not_created": 9
read-only folder, --output run again | read_only_with_target | nobody | -o @/target @/card ;; -o @/target @/card | 0 | - | "present": 7;;"new": 0
unreadable file in its folder | unreadable | nobody | @/card | 1 | ^rawlift extract: 1 RAW file could not be read: cannot be opened in .*/card$ | "new": 6;;"cannot_read": 1;;"failed": 1
unreadable file named | unreadable | nobody | @/card/IMG_0001.CR2 | 1 | ^rawlift extract: 1 RAW file could not be read: cannot be opened in .*/card$ | "files_scanned": 1;;"cannot_read": 1
FIFO named | fifo | root | @/card/pipe.NEF | 1 | ^rawlift extract: '.*/card/pipe.NEF': not a regular file$ | "files_scanned": 0
FIFO in a folder | fifo | root | @/card | 0 | - | "files_scanned": 9
missing operand | plain | root | @/card/none.NEF @/card | 1 | ^rawlift extract: '.*/card/none.NEF': no such file or folder$ | "new": 7
hidden names and shared stems | hidden_and_stems | root | @/card | 0 | - | "new": 5;;"none": 1
folders too deep | too_deep | root | -r @/card | 0 | ^rawlift extract: 1 folder was not searched: deeper than 64 levels$ | "files_scanned": 1;;"folders_too_deep": 1
disk full | full_disk | root | -o @/small @/card | 1 | ^rawlift extract: [0-9]+ previews? could not be written: cannot write the output: no space left on device in .*/small/extracted_jpegs$ | "write_failed": [1-9]
negative width | plain | root | --max-width -5 @/card | 2 | ^rawlift extract: --max-width needs a whole number from 1 to 65535, not '-5'$ | -
width 0 | plain | root | --max-width 0 @/card | 2 | ^rawlift extract: --max-width needs a whole number from 1 to 65535, not '0'$ | -
height too large | plain | root | --max-height 65536 @/card | 2 | ^rawlift extract: --max-height needs a whole number from 1 to 65535, not '65536'$ | -
width with native only | plain | root | --native-only --max-width 640 @/card | 2 | ^rawlift extract: --max-width and --max-height have no effect with --native-only$ | -
width brings reduced copies | plain | root | --max-width 640 @/card | 0 | - | "new": 7
EOF
)

# The words that run a command as the row's user.
user_prefix() {
  if [[ $1 == nobody ]]; then
    printf '%s\n' setpriv --reuid=nobody --regid=nogroup --clear-groups --
  fi
}

row=0
while IFS= read -r line; do
  [[ -z $line ]] && continue
  row=$((row + 1))
  IFS='|' read -r name state user arguments status stderr_lines json_counts <<<"$line"
  name=$(echo $name) state=$(echo $state) user=$(echo $user) status=$(echo $status)
  stderr_lines=$(echo $stderr_lines) json_counts=$(echo $json_counts)
  if [[ $user == nobody ]] && ((!can_drop)); then
    skipped+=" [$name: cannot run as nobody]"
    continue
  fi
  folder="$scratch/run$row"
  mkdir -p "$folder" && chmod 755 "$folder"
  if ! "state_$state" "$folder"; then
    skipped+=" [$name: state $state not available here]"
    continue
  fi
  # Every command line but the last prepares; the last is checked, with
  # --json (which changes nothing on standard error).
  mapfile -t prefix < <(user_prefix "$user")
  commands=()
  while IFS= read -r part; do
    [[ -n ${part// /} ]] && commands+=("${part//@/$folder}")
  done <<<"${arguments//;;/$'\n'}"
  last=${commands[${#commands[@]} - 1]}
  for ((i = 0; i + 1 < ${#commands[@]}; i++)); do
    # shellcheck disable=SC2086
    "${prefix[@]}" "$rawlift" extract ${commands[i]} >/dev/null 2>&1
  done
  # Guards: a FIFO (or anything else) that makes the command wait for ever.
  # shellcheck disable=SC2086
  timeout 20 "${prefix[@]}" "$rawlift" extract --json $last </dev/null >"$folder.out" 2>"$folder.err"
  got=$?
  check_equal "$name: exit status" "$status" "$got"
  # Standard error, line by line against the patterns.
  mapfile -t err_lines <"$folder.err"
  if [[ $stderr_lines == "-" ]]; then
    check_equal "$name: nothing on standard error" "" "$(cat "$folder.err")"
  else
    IFS=$'\n' read -r -d '' -a patterns <<<"${stderr_lines//;;/$'\n'}"
    check_equal "$name: lines on standard error" "${#patterns[@]}" "${#err_lines[@]}"
    for ((i = 0; i < ${#patterns[@]}; i++)); do
      check "$name: standard error line $((i + 1)) is '${patterns[i]}'" \
        grep -Eq -- "${patterns[i]}" <<<"${err_lines[i]:-}"
    done
  fi
  counts=$(tail -n 1 "$folder.out")
  if [[ $json_counts != "-" ]]; then
    IFS=$'\n' read -r -d '' -a pieces <<<"${json_counts//;;/$'\n'}"
    for piece in "${pieces[@]}"; do
      check "$name: counts hold $piece" grep -qE -- "$piece" <<<"$counts"
    done
  fi
  [[ -n $mounted ]] && umount "$mounted" 2>/dev/null && mounted=""
done <<<"$runs"

# Outputs on disk: the names the runs above gave.
names_in() { (cd "$1" && LC_ALL=C ls -A | tr '\n' ' '); }
hidden=$(grep -n '^hidden names and shared stems ' <<<"$runs" | cut -d: -f1)
check_equal "hidden names and shared stems keep outputs of their own" \
  "._IMG_0001_RLFT.jpg .first_RLFT.jpg .second_RLFT.jpg IMG_0001_NEF_RLFT.jpg IMG_0001_RLFT.jpg " \
  "$(names_in "$scratch/run$hidden/card/extracted_jpegs")"
target=$(grep -n '^read-only folder, --output elsewhere ' <<<"$runs" | cut -d: -f1)
if [[ -d $scratch/run$target/target ]]; then
  check_equal "--output: the card untouched" "" "$(find "$scratch/run$target/card" -name 'extracted_jpegs*')"
  check_equal "--output: the outputs under the target" "$demo_extractable" \
    "$(find "$scratch/run$target/target/extracted_jpegs" -name '*.jpg' | wc -l)"
fi
bounded=$(grep -n '^width brings reduced copies ' <<<"$runs" | cut -d: -f1)
check_equal "--max-width alone writes reduced copies" "$demo_extractable" \
  "$(find "$scratch/run$bounded/card/extracted_jpegs_640" -name '*_RLFT_*.jpg' | wc -l)"
finish
