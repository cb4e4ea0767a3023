#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, seeds them from the fixture builder (and the real
# samples when present) and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# Any crash, leak, input slower than 1 s or allocation beyond 64 MiB fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
RAWLIFT_SETUP_EXTRA=fuzz "$root/scripts/setup.sh"
dir="$root/build/fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -G Ninja --log-level=WARNING \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWLIFT_FUZZ=ON -DRAWLIFT_SANITIZE=ON -DRAWLIFT_TESTS=OFF
cmake --build "$dir" -j "$(nproc)" --target fuzz_extract fuzz_settings fuzz_naming fuzz_reduce fuzz_library \
  make_fuzz_corpus

corpus="$dir/corpus"
rm -rf "$corpus"
mkdir -p "$corpus/extract" "$corpus/settings" "$corpus/naming" "$corpus/reduce" "$dir/artifacts"
"$dir/fuzz/make_fuzz_corpus" "$corpus"
samples="$root/../shared/samples"
if [[ -d "$samples" ]]; then
  # Copies inside the build folder only; the real files stay where they are.
  find "$samples" -type f ! -name MANIFEST.tsv -size -4M -print0 |
    while IFS= read -r -d '' f; do cp "$f" "$corpus/extract/sample_$(basename "$f" | tr -c 'A-Za-z0-9._-' _)"; done
  find "$samples" -type f -iname '*.jpg' -size -1M -print0 |
    while IFS= read -r -d '' f; do cp "$f" "$corpus/reduce/sample_$(basename "$f" | tr -c 'A-Za-z0-9._-' _)"; done
fi

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
# The public API reads the same camera files as the engine.
cp -r "$corpus/extract" "$corpus/library"
for target in extract settings naming reduce library; do
  echo "== fuzz_$target for ${seconds}s"
  if ! "$dir/fuzz/fuzz_$target" "$corpus/$target" -seed=1 -max_total_time="$seconds" -timeout=1 \
      -malloc_limit_mb=64 -rss_limit_mb=2048 -max_len=1048576 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/${target}-" 2>"$dir/fuzz_$target.log"; then
    echo "fuzz_$target FAILED; see $dir/fuzz_$target.log and $dir/artifacts" >&2
    tail -n 40 "$dir/fuzz_$target.log" >&2
    status=1
  else
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$dir/fuzz_$target.log" || true
  fi
done
exit $status
