#!/usr/bin/env bash
# Sets up, builds both targets and runs every test (native, then Windows under wine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" native
"$root/scripts/build.sh" windows

export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
if [[ ! -d "$WINEPREFIX" ]]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi

status=0
echo "== native tests"
ctest --test-dir "$root/build/native" --output-on-failure -j "$(nproc)" || status=1
echo "== windows tests (wine)"
if command -v xvfb-run >/dev/null; then
  xvfb-run -a ctest --test-dir "$root/build/windows" --output-on-failure || status=1
else
  ctest --test-dir "$root/build/windows" --output-on-failure || status=1
fi
exit $status
