#!/usr/bin/env bash
# Compares `rawlift extract` with the tools a user would pick instead, in one
# run over the same files, and the reduced copy with vipsthumbnail and
# ImageMagick at the same target size.
#
#   bench/compare_peers.sh [--files N] [--rounds R] [--corpus nef|cr3|both] [--keep]
#
# Extraction, for each corpus: a folder of N (100) files with a 6000x4000
# JPEG each (NEF-shaped, the JPEG in a sub-directory; or CR3, the JPEG in the
# first track, with a 1620x1080 PRVW and a THMB beside it), page cache warmed
# and dirty pages written back before each timed run, every tool over all of
# them, R (3) rounds taken in turn, the best counted. The floor is bench_floor
# (one process: pread each preview at the offset the engine reports, write it
# to a new file); dd does the same with one process per file. rawlift runs
# single-threaded (-j 1), as it is, with --sync (each output flushed to the
# disk before it takes its name, which shows what that costs) and with its
# default worker count. Rates count every JPEG a tool writes; "full size"
# counts those of the full-size JPEG (over 1 MB), since some peers find only a
# smaller preview.
# Reduced copy (with the NEF corpus): the first preview bounded to 800x800 at
# quality 94; time (best of R), peak RSS (/usr/bin/time -v), SSIM of the luma
# against a Lanczos reduction of the full-size decode.
# Scratch files go to build/compare_peers (removed unless --keep).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
files=100
rounds=3
keep=0
corpora=(nef cr3)
usage="usage: bench/compare_peers.sh [--files N] [--rounds R] [--corpus nef|cr3|both] [--keep]"
while (($#)); do
  case "$1" in
    --files) files=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --corpus)
      case "$2" in
        nef | cr3) corpora=("$2") ;;
        both) corpora=(nef cr3) ;;
        *) echo "$usage" >&2; exit 2 ;;
      esac
      shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done

RAWLIFT_SETUP_EXTRA=bench "$root/scripts/setup.sh" || echo "(continuing with the peers installed)" >&2
for tool in exiftool exiv2 vipsthumbnail convert dd /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "compare_peers: $tool is missing" >&2; exit 1; }
done

build=${RAWLIFT_BENCH_BUILD:-$root/build/bench}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target rawlift make_corpus bench_floor bench_ssim >/dev/null
rawlift=$build/cli/rawlift

work=$root/build/compare_peers
rm -rf "$work"
mkdir -p "$work/out" "$work/home"
trap '((keep)) || rm -rf "$work"' EXIT
# The run's settings never touch the user's own file.
export HOME=$work/home XDG_CONFIG_HOME=$work/home

now_ns() { date +%s%N; }

# The corpus being measured: its folder and its files' suffix.
corpus=
ext=
make_corpus() {
  local first=()
  # The reduced copy below starts from the NEF corpus's first preview.
  [[ $1 == nef ]] && first=(--first-preview "$work/preview.jpg")
  "$build/bench/make_corpus" "$work/corpus_$1" --format "$1" --files "$files" "${first[@]}"
}
use_corpus() {
  corpus=$work/corpus_$1
  ext=${1^^}
}

# Each extraction tool: a command that writes all previews below $out.
run_floor() { "$build/bench/bench_floor" "$corpus" "$out" >/dev/null; }
run_dd() {
  while IFS=$'\t' read -r name offset length; do
    dd if="$corpus/$name" of="$out/${name%.*}.jpg" bs=4M iflag=skip_bytes,count_bytes \
      skip="$offset" count="$length" status=none
  done <"$corpus/manifest.tsv"
}
run_rawlift_1() { "$rawlift" extract -j 1 --native-only --no-suffix "$corpus" >/dev/null 2>&1; }
run_rawlift_sync() {
  "$rawlift" extract -j 1 --sync --native-only --no-suffix "$corpus" >/dev/null 2>&1
}
run_rawlift_default() { "$rawlift" extract --native-only --no-suffix "$corpus" >/dev/null 2>&1; }
run_exiftool() { exiftool -q -b -JpgFromRaw -w "$out/%f.jpg" "$corpus"/*."$ext" >/dev/null; }
run_exiftool_preview() {
  exiftool -q -b -PreviewImage -w "$out/%f.jpg" "$corpus"/*."$ext" >/dev/null
}
run_exiv2() { exiv2 -q -ep2 -l "$out" "$corpus"/*."$ext" >/dev/null 2>&1; }

# One timed run of a tool: no outputs, nothing dirty waiting for writeback
# (so one tool's outputs do not slow the next), a warm cache. Keeps the best
# files/s of the rounds.
#
# Each timed run follows an untimed one of the same tool whose outputs are
# removed just before: on a virtual machine, memory the guest has left free
# for a second or two goes back to the host, and the next writer to touch it
# pays for getting it back (a tool that ran after dd's slow run, or after a
# pause, was up to three times slower). The warm-up gives every tool the
# same freshly freed memory.
declare -A rate written full
clear_outputs() {
  rm -rf "$out" "$corpus/extracted_jpegs"
  mkdir -p "$out"
}
measure_once() {
  local kind=$1 key=$2
  out=$work/out/$kind/$key
  clear_outputs
  "run_$key"
  clear_outputs
  cat "$corpus"/*."$ext" >/dev/null
  sync
  local start end count r_rate
  start=$(now_ns)
  "run_$key"
  end=$(now_ns)
  count=$( (find "$out" "$corpus/extracted_jpegs" -name '*.jpg' 2>/dev/null || true) | wc -l)
  written[$kind:$key]=$count
  full[$kind:$key]=$( (find "$out" "$corpus/extracted_jpegs" -name '*.jpg' -size +1M 2>/dev/null ||
    true) | wc -l)
  r_rate=$(awk -v n="$count" -v ns=$((end - start)) 'BEGIN { printf "%.1f", n / (ns / 1e9) }')
  rate[$kind:$key]=$(awk -v a="${rate[$kind:$key]:-0}" -v b="$r_rate" 'BEGIN { print (b > a ? b : a) }')
}

tools=(floor dd rawlift_1 rawlift_sync rawlift_default exiv2 exiftool exiftool_preview)
declare -A label=(
  [floor]="floor: bench_floor (pread + write)"
  [dd]="dd, one process per file"
  [rawlift_1]="rawlift extract -j 1"
  [rawlift_sync]="rawlift extract -j 1 --sync"
  [rawlift_default]="rawlift extract (-j $(nproc))"
  [exiv2]="exiv2 -ep2"
  [exiftool]="exiftool -b -JpgFromRaw -w"
  [exiftool_preview]="exiftool -b -PreviewImage -w"
  [nef:exiftool_preview]="exiftool -b -PreviewImage -w (none in NEF)"
  [cr3:exiv2]="exiv2 -ep2 (PRVW: no track JPEG)"
  [cr3:exiftool_preview]="exiftool -b -PreviewImage -w (PRVW)"
)
for kind in "${corpora[@]}"; do make_corpus "$kind"; done
# Rounds go over all corpora and tools in turn, so a slow spell of the
# machine hits them alike.
for ((round = 0; round < rounds; round++)); do
  for kind in "${corpora[@]}"; do
    use_corpus "$kind"
    for t in "${tools[@]}"; do measure_once "$kind" "$t"; done
  done
done

# Whether a rawlift output is the floor's JPEG, either as it is or with the
# Exif segment rawlift inserts (1146 bytes after SOI) when the JPEG had none.
same_jpeg() {
  if (($(stat -c %s "$1") == $(stat -c %s "$2") + 1146)); then
    { head -c 2 "$1"; tail -c +1149 "$1"; } | cmp -s - "$2"
  else
    cmp -s "$1" "$2"
  fi
}

for kind in "${corpora[@]}"; do
  use_corpus "$kind"
  first=$(head -1 "$corpus/manifest.tsv" | cut -f1)
  echo
  printf 'Extraction: %d %s files, %s-byte 6000x4000 JPEG each, warm cache, best of %d\n' \
    "$files" "$ext" "$(head -1 "$corpus/manifest.tsv" | cut -f3)" "$rounds"
  printf '| %-42s | %7s | %8s | %9s | %14s | %16s |\n' tool files/s written "full size" \
    "ratio to floor" "ratio to rawlift"
  printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..44})" --------- ---------- ----------- \
    ---------------- ------------------
  for t in "${tools[@]}"; do
    k=$kind:$t
    awk -v l="${label[$k]:-${label[$t]}}" -v r="${rate[$k]}" -v w="${written[$k]}" -v u="${full[$k]}" \
      -v f="${rate[$kind:floor]}" -v o="${rate[$kind:rawlift_1]}" \
      'BEGIN { printf "| %-42s | %7.1f | %8d | %9d | %14.2f | %16.2f |\n", l, r, w, u, (f > 0 ? r / f : 0), (o > 0 ? r / o : 0) }'
  done
  if ((${written[$kind:rawlift_1]} < files)); then
    echo "note: rawlift extract wrote ${written[$kind:rawlift_1]} of $files (a suffix the job does not take?)"
  fi

  # The floor must copy what the peers find: the same bytes for the first file
  # (rawlift's output is the same JPEG with an Exif segment inserted).
  floor_first=$work/out/$kind/floor/${first%.*}.jpg
  peers=("$work/out/$kind/dd/${first%.*}.jpg" "$work/out/$kind/exiftool/${first%.*}.jpg")
  [[ $kind == nef ]] && peers+=("$work/out/$kind/exiv2/${first%.*}-preview2.jpg")
  for peer in "${peers[@]}"; do
    if ! cmp -s "$floor_first" "$peer"; then
      echo "compare_peers: $peer differs from the floor's copy" >&2
      exit 1
    fi
  done
  rawlift_first=$corpus/extracted_jpegs/${first%.*}.jpg
  if [[ -f $rawlift_first ]] && ! same_jpeg "$rawlift_first" "$floor_first"; then
    echo "compare_peers: rawlift's $rawlift_first is not the floor's JPEG" >&2
    exit 1
  fi

  # System calls of rawlift on a few files (one round, single-threaded).
  few=$work/few_$kind
  mkdir -p "$few"
  head -3 "$corpus/manifest.tsv" | cut -f1 | while read -r name; do ln -s "$corpus/$name" "$few/"; done
  echo
  echo "rawlift extract -j 1 on 3 $ext files: read-type and write calls (strace -f)"
  if command -v strace >/dev/null; then
    strace -f -e trace=read,pread64,readv,preadv,write,pwrite64,fsync,fdatasync \
      -o "$work/strace_$kind.txt" "$rawlift" extract -j 1 --native-only --no-suffix "$few" \
      >/dev/null 2>&1 || true
    grep -v -e 'resumed>' -e '+++' "$work/strace_$kind.txt" |
      sed -E 's/^[0-9]+ +//; s/\(.*\) += ([0-9-]+).*/ \1/' |
      awk '{ calls[$1]++; if ($2 > 0) bytes[$1] += $2 } END { for (c in calls) printf "  %-8s %5d calls %12d bytes\n", c, calls[c], bytes[c] }' |
      sort
  else
    echo "  strace is not installed (RAWLIFT_SETUP_EXTRA=bench scripts/setup.sh)"
  fi
done

[[ " ${corpora[*]} " == *" nef "* ]] || exit 0
corpus=$work/corpus_nef
# Reduced copy of the first preview to 800x800 at quality 94.
one=$work/one
mkdir -p "$one"
cp "$corpus/DSC_0001.NEF" "$one/"
reduce_rawlift() {
  rm -rf "$one/extracted_jpegs" "$one/extracted_jpegs_800"
  "$@" "$rawlift" extract -j 1 --smaller --max-width 800 --max-height 800 --no-suffix "$one" \
    >/dev/null 2>&1
  cp "$one/extracted_jpegs_800/DSC_0001.jpg" "$work/reduced_rawlift.jpg"
}
reduce_vips() { "$@" vipsthumbnail "$work/preview.jpg" -s 800x800 -o "$work/reduced_vips.jpg[Q=94]"; }
reduce_magick() {
  "$@" convert "$work/preview.jpg" -resize 800x800 -quality 94 "$work/reduced_magick.jpg"
}
reduce_magick_hint() {
  "$@" convert -define jpeg:size=1600x1600 "$work/preview.jpg" -resize 800x800 -quality 94 \
    "$work/reduced_magick_hint.jpg"
}
reduce_tools=(rawlift vips magick magick_hint)
declare -A reduce_label=(
  [rawlift]="rawlift extract --smaller (incl. extract)"
  [vips]="vipsthumbnail -s 800x800 Q=94"
  [magick]="convert -resize 800x800 -quality 94"
  [magick_hint]="convert -define jpeg:size=1600x1600"
)
convert "$work/preview.jpg" -filter Lanczos -resize 800x800 -colorspace gray "$work/reference.pgm"
echo
printf 'Reduced copy: %s 6000x4000 -> 800 px, best of %d, SSIM of luma vs Lanczos of the full decode\n' \
  "$(stat -c %s "$work/preview.jpg")" "$rounds"
printf '| %-42s | %8s | %13s | %6s |\n' tool "ms/image" "peak RSS MiB" SSIM
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..44})" ---------- --------------- --------
for t in "${reduce_tools[@]}"; do
  best_ms=999999
  for ((r = 0; r < rounds; r++)); do
    start=$(now_ns)
    "reduce_$t"
    end=$(now_ns)
    ms=$(((end - start) / 1000000))
    ((ms < best_ms)) && best_ms=$ms
  done
  "reduce_$t" /usr/bin/time -v -o "$work/time_$t.txt"
  rss_kb=$(awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$work/time_$t.txt")
  convert "$work/reduced_$t.jpg" -colorspace gray "$work/reduced_$t.pgm"
  ssim=$("$build/bench/bench_ssim" "$work/reference.pgm" "$work/reduced_$t.pgm" 2>&1 || true)
  printf '| %-42s | %8d | %13.1f | %6s |\n' "${reduce_label[$t]}" "$best_ms" \
    "$(awk -v k="$rss_kb" 'BEGIN { print k / 1024 }')" "$ssim"
done
