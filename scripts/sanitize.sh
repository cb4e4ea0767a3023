#!/usr/bin/env bash
# Builds the native tree with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs every native test under them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" asan -DRAWLIFT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$root/build/asan" --output-on-failure -j "$(nproc)"
