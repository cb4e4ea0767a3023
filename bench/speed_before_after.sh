#!/usr/bin/env bash
# Times two builds of rawlift side by side over corpora with the layouts
# cameras write (make_corpus): what choosing the smallest JPEG that covers a
# size saves, and what listing every embedded image costs.
#
#   bench/speed_before_after.sh --before OLD_RAWLIFT [--after NEW_RAWLIFT]
#                               [--files N] [--thumbnails M] [--rounds R] [--keep]
#
# Corpora (N files each, 100 by default; thumbnails are made of the first M,
# 20 by default): nef-camera (160x120 RGB thumbnail,
# 640x424 maker-note preview, 6000x4000 SubIFD JPEG), cr3 (160x120 THMB,
# 1620x1080 PRVW, 6000x4000 track JPEG), arw (ARW 4.x: 1616x1080 IFD0
# preview, 160x120 IFD1 thumbnail, 6000x4000 IFD2 JPEG) and arw-preview (the
# same without the IFD2 JPEG). Reported, before and after:
#   - `rawlift thumbnail -s 256`, one process per file as a file manager runs
#     it, on each corpus, beside `gdk-pixbuf-thumbnailer -s 256` on the bare
#     6000x4000 JPEG (the same picture as a JPEG file of its own);
#   - `rawlift thumbnail -s 1024` on the CR3 corpus;
#   - `rawlift extract -j 1` over the NEF and CR3 corpora (the outputs of
#     both builds compared byte for byte);
#   - the read calls and bytes read (strace) of `thumbnail -s 256`, of
#     `thumbnail -s 1024` on a CR3 (whose bytes tell which JPEG was decoded),
#     of `identify` and of `extract -j 1` on one file of each corpus.
# Times are CPU (user + system) per file, best of R (5) rounds taken in turn
# for both builds (extraction: three runs a round, each with no outputs and
# nothing left to write back before it), since the machine is shared; the
# clock time of the same round is beside it. Targets, checked at the end (a
# miss is printed, the exit status stays 0 so that every figure is seen):
# thumbnail -s 256 at most a quarter of the time before on the NEF, CR3 and
# ARW 4.x corpora and at least 3 times faster than gdk-pixbuf-thumbnailer;
# extract -j 1 within 1.1 times before and reading no more than before;
# thumbnail -s 1024 on a CR3 reading fewer bytes than its track JPEG holds.
# The arw-preview corpus has no JPEG between its thumbnail and its preview,
# so both builds decode the preview there: it shows that nothing got slower.
# --after defaults to build/native/cli/rawlift, built here with make_corpus.
# Scratch files go to build/speed_before_after (removed unless --keep).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
before=
after=
files=100
thumbnail_files=20
rounds=5
keep=0
usage="usage: bench/speed_before_after.sh --before OLD_RAWLIFT [--after NEW_RAWLIFT] [--files N] [--thumbnails M] [--rounds R] [--keep]"
while (($#)); do
  case "$1" in
    --before) before=$2; shift 2 ;;
    --after) after=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --thumbnails) thumbnail_files=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
[[ -n $before ]] || { echo "$usage" >&2; exit 2; }

RAWLIFT_SETUP_EXTRA=bench "$root/scripts/setup.sh" >/dev/null || echo "(continuing with the peers installed)" >&2
for tool in gdk-pixbuf-thumbnailer strace cmp; do
  command -v "$tool" >/dev/null || { echo "speed_before_after: $tool is missing" >&2; exit 1; }
done

build=${RAWLIFT_BENCH_BUILD:-$root/build/native}
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
targets=(make_corpus)
[[ -n $after ]] || targets+=(rawlift)
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
after=${after:-$build/cli/rawlift}
before=$(realpath "$before")
after=$(realpath "$after")

work=$root/build/speed_before_after
rm -rf "$work"
mkdir -p "$work/home"
# shellcheck disable=SC2064
trap "((keep)) || rm -rf '$work'" EXIT
# The runs' settings never touch the user's own file.
export HOME=$work/home XDG_CONFIG_HOME=$work/home

corpora=(nef-camera cr3 arw arw-preview)
declare -A ext=([nef-camera]=NEF [cr3]=CR3 [arw]=ARW [arw-preview]=ARW)
declare -A shown=([nef-camera]=NEF [cr3]=CR3 [arw]="ARW 4.x" [arw-preview]="ARW, no IFD2")
for kind in "${corpora[@]}"; do
  first=()
  [[ $kind == nef-camera ]] && first=(--first-preview "$work/full.jpg")
  "$build/bench/make_corpus" "$work/$kind" --format "$kind" --files "$files" \
    "${first[@]}" >/dev/null
done
builds=(before after)
declare -A binary=([before]=$before [after]=$after)

# CPU and clock seconds of a command (its output thrown away), as "cpu wall".
# A failing command ends the benchmark: a figure of a failed run means nothing.
timed() {
  local TIMEFORMAT='%R %U %S' t
  if ! t=$({ time "$@" >/dev/null 2>"$work/stderr"; } 2>&1); then
    echo "speed_before_after: failed: $* ($(head -c 300 "$work/stderr"))" >&2
    exit 1
  fi
  awk '{ printf "%.6f %.6f\n", $2 + $3, $1 }' <<<"$t"
}

# Times a command (timed's arguments after the key) and keeps the best
# (lowest CPU) of the rounds per key, with the clock time of that round.
declare -A cpu wall
keep_best() {
  local key=$1 c w
  shift
  timed "$@" >"$work/time"
  read -r c w <"$work/time"
  if [[ -z ${cpu[$key]:-} ]] || awk -v a="$c" -v b="${cpu[$key]}" 'BEGIN { exit !(a < b) }'; then
    cpu[$key]=$c
    wall[$key]=$w
  fi
}

thumbnails() {  # binary size corpus
  local all=("$work/$3"/*."${ext[$3]}") f
  for f in "${all[@]:0:thumbnail_files}"; do "$1" thumbnail -s "$2" "$f" "$work/thumbnail.png"; done
}
gdk_thumbnails() {
  local i
  for ((i = 0; i < thumbnail_files; i++)); do gdk-pixbuf-thumbnailer -s 256 "$work/full.jpg" "$work/gdk.png"; done
}
extraction() {  # binary corpus (the outputs of the last run removed before)
  "$1" extract -j 1 --native-only --no-suffix "$work/$2"
}
# Untimed, before each timed extraction: no outputs, nothing dirty waiting
# for writeback.
clear_outputs() {
  rm -rf "$work/$1/extracted_jpegs"
  sync
}

# Every case runs once untimed (page cache, the dynamic loader), then the
# rounds take the builds and the cases in turn, so a slow spell of the shared
# machine hits them alike.
cases=()
for kind in "${corpora[@]}"; do cases+=("thumbnails 256 $kind"); done
cases+=("thumbnails 1024 cr3" "extraction nef-camera" "extraction cr3")
run_case() {  # build case...
  local b=$1 what=$2
  shift 2
  case $what in
    thumbnails) thumbnails "${binary[$b]}" "$@" ;;
    extraction) extraction "${binary[$b]}" "$@" ;;
  esac
}
for c in "${cases[@]}"; do
  read -ra words <<<"$c"
  for b in "${builds[@]}"; do
    [[ ${words[0]} == extraction ]] && clear_outputs "${words[1]}"
    run_case "$b" "${words[@]}" >/dev/null 2>&1
  done
done
gdk_thumbnails
for ((round = 0; round < rounds; round++)); do
  for c in "${cases[@]}"; do
    read -ra words <<<"$c"
    # An extraction takes a few milliseconds per file: three runs a round.
    repeat=1
    [[ ${words[0]} == extraction ]] && repeat=3
    for ((k = 0; k < repeat; k++)); do
      for b in "${builds[@]}"; do
        [[ ${words[0]} == extraction ]] && clear_outputs "${words[1]}"
        keep_best "$b:$c" run_case "$b" "${words[@]}"
      done
    done
  done
  keep_best gdk gdk_thumbnails
done

# Extraction wrote the same bytes with both builds.
for kind in nef-camera cr3; do
  for b in "${builds[@]}"; do
    clear_outputs "$kind"
    extraction "${binary[$b]}" "$kind" >/dev/null 2>&1
    rm -rf "$work/extracted_$b"
    mv "$work/$kind/extracted_jpegs" "$work/extracted_$b"
  done
  if ! diff -r -q "$work/extracted_before" "$work/extracted_after" >/dev/null; then
    echo "speed_before_after: extract wrote different bytes before and after on $kind" >&2
    exit 1
  fi
done

ms_per_file() {  # seconds, case
  local n=$thumbnail_files
  [[ $2 == extraction* ]] && n=$files
  awk -v s="$1" -v n="$n" 'BEGIN { printf "%.1f", s * 1000 / n }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo
printf 'CPU ms per file (clock ms in brackets), best of %d rounds; thumbnails of %d files,' \
  "$rounds" "$thumbnail_files"
printf ' extraction of %d files per corpus\n' "$files"
printf '| %-36s | %17s | %17s | %12s |\n' case before after "after/before"
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..38})" ------------------- ------------------- \
  --------------
declare -A label=(
  ["thumbnails 256 nef-camera"]="thumbnail -s 256, NEF"
  ["thumbnails 256 cr3"]="thumbnail -s 256, CR3"
  ["thumbnails 256 arw"]="thumbnail -s 256, ARW 4.x"
  ["thumbnails 256 arw-preview"]="thumbnail -s 256, ARW, no IFD2"
  ["thumbnails 1024 cr3"]="thumbnail -s 1024, CR3"
  ["extraction nef-camera"]="extract -j 1, NEF"
  ["extraction cr3"]="extract -j 1, CR3"
)
for c in "${cases[@]}"; do
  printf '| %-36s | %7s (%7s) | %7s (%7s) | %12s |\n' "${label[$c]}" \
    "$(ms_per_file "${cpu[before:$c]}" "$c")" "$(ms_per_file "${wall[before:$c]}" "$c")" \
    "$(ms_per_file "${cpu[after:$c]}" "$c")" "$(ms_per_file "${wall[after:$c]}" "$c")" \
    "$(ratio "${cpu[after:$c]}" "${cpu[before:$c]}")"
done
printf '| %-36s | %17s | %7s (%7s) | %12s |\n' "gdk-pixbuf-thumbnailer -s 256, JPEG" "" \
  "$(ms_per_file "${cpu[gdk]}" gdk)" "$(ms_per_file "${wall[gdk]}" gdk)" ""

# Read calls and bytes of one run (strace -f), as "calls bytes".
reads() {
  strace -f -e trace=open,openat,close,read,pread64,readv,preadv -o "$work/strace.txt" "$@" \
    >/dev/null 2>&1 || true
  # Only what is read from the camera file: the reads of its descriptor(s).
  python3 - "$work/strace.txt" "$target" <<'PY'
import re, sys
trace, target = sys.argv[1], sys.argv[2]
fds, calls, total = set(), 0, 0
for line in open(trace, errors="replace"):
    m = re.search(r'open(?:at)?\(.*"([^"]*)".*\) = (\d+)', line)
    if m:
        if m.group(1).endswith(target):
            fds.add(m.group(2))
        continue
    m = re.search(r'\bclose\((\d+)\)', line)
    if m:
        fds.discard(m.group(1))
        continue
    m = re.search(r'\b(read|pread64|readv|preadv)\((\d+),.*\) = (\d+)', line)
    if m and m.group(2) in fds:
        calls += 1
        total += int(m.group(3))
print(calls, total)
PY
}
echo
echo "Reads of the camera file (strace: read-type calls on its descriptor, bytes)"
printf '| %-36s | %22s | %22s |\n' run before after
printf '|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..38})" ------------------------ ------------------------
reads_missed=0
cr3_1024_bytes=0
for kind in "${corpora[@]}"; do
  all=("$work/$kind"/*."${ext[$kind]}")
  f=${all[0]}
  target=$(basename "$f")
  mkdir -p "$work/one_$kind"
  ln -sf "$f" "$work/one_$kind/"
  runs=("thumbnail -s 256" "identify" "extract -j 1")
  [[ $kind == cr3 ]] && runs+=("thumbnail -s 1024")
  for r in "${runs[@]}"; do
    declare -A got=()
    read -ra words <<<"$r"
    for b in "${builds[@]}"; do
      case $r in
        thumbnail*) got[$b]=$(reads "${binary[$b]}" "${words[@]}" "$f" "$work/thumbnail.png") ;;
        identify) got[$b]=$(reads "${binary[$b]}" identify --json "$f") ;;
        extract*)
          clear_outputs "one_$kind"
          got[$b]=$(reads "${binary[$b]}" extract -j 1 --native-only --no-suffix "$work/one_$kind")
          ;;
      esac
    done
    read -r before_calls before_bytes <<<"${got[before]}"
    read -r after_calls after_bytes <<<"${got[after]}"
    printf '| %-36s | %5s calls %10s B | %5s calls %10s B |\n' "$r, ${shown[$kind]}" \
      "$before_calls" "$before_bytes" "$after_calls" "$after_bytes"
    # Extraction identifies each file as before; `identify` also looks at
    # every listed JPEG's markers, which is new work (shown, not a target).
    if [[ $r == extract* ]] && ((after_bytes > before_bytes || after_calls > before_calls)); then
      reads_missed=1
    fi
    # Fewer bytes than the track JPEG holds: the PRVW was decoded, not the track.
    [[ $kind == cr3 && $r == "thumbnail -s 1024" ]] && cr3_1024_bytes=$after_bytes
  done
done

# The targets.
echo
missed=0
check() {  # description, condition as awk expression over a and b
  if awk -v a="$2" -v b="$3" "BEGIN { exit !($4) }"; then
    echo "met:    $1"
  else
    echo "MISSED: $1"
    missed=1
  fi
}
for kind in nef-camera cr3 arw; do
  c="thumbnails 256 $kind"
  check "thumbnail -s 256 on ${shown[$kind]}: after at most 1/4 of before" \
    "${cpu[after:$c]}" "${cpu[before:$c]}" "a <= b / 4"
done
for kind in "${corpora[@]}"; do
  c="thumbnails 256 $kind"
  check "thumbnail -s 256 on ${shown[$kind]}: at least 3x faster than gdk-pixbuf-thumbnailer" \
    "${cpu[after:$c]}" "${cpu[gdk]}" "a * 3 <= b"
done
for kind in nef-camera cr3; do
  c="extraction $kind"
  check "extract -j 1 on ${shown[$kind]}: within 1.1x of before" \
    "${cpu[after:$c]}" "${cpu[before:$c]}" "a <= b * 1.1"
done
read -r _ _ track_length <"$work/cr3/manifest.tsv"
check "thumbnail -s 1024 on CR3 reads less than its $track_length-byte track JPEG (decodes the PRVW)" \
  "$cr3_1024_bytes" "$track_length" "a < b"
check "extract -j 1: identification and extraction read no more (calls, bytes) than before" \
  "$reads_missed" 0 "a == 0"
((missed)) && echo "(some targets missed: see above)"
exit 0
