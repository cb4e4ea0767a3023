#!/usr/bin/env bash
# Sets up, builds both targets and runs every test:
#   1. native build and its tests
#   2. the native tests again under AddressSanitizer and UndefinedBehaviorSanitizer
#   3. each libFuzzer target for a bounded time (RAWLIFT_FUZZ_SECONDS, default 60)
#   4. the Windows build and its tests under wine (windows under xvfb-run)
# Every stage runs even when an earlier one failed; the exit code is non-zero
# when any failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" || exit 1

failed=()
stage() {
  local name=$1
  shift
  echo "== $name"
  if ! "$@"; then
    echo "== $name FAILED"
    failed+=("$name")
  fi
}

native_tests() {
  "$root/scripts/build.sh" native && ctest --test-dir "$root/build/native" --output-on-failure -j "$(nproc)"
}

windows_tests() {
  "$root/scripts/build.sh" windows || return 1
  export WINEDEBUG=-all
  export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
  if [[ ! -d "$WINEPREFIX" ]]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w || true
  fi
  xvfb-run -a ctest --test-dir "$root/build/windows" --output-on-failure
}

stage "native tests" native_tests
stage "sanitizer tests" "$root/scripts/sanitize.sh"
stage "fuzzing" "$root/scripts/fuzz.sh" "${RAWLIFT_FUZZ_SECONDS:-60}"
stage "windows tests (wine)" windows_tests

if ((${#failed[@]})); then
  echo "Failed stages: ${failed[*]}"
  exit 1
fi
echo "All stages passed."
