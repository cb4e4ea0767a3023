#!/usr/bin/env bash
# Configures and builds one target: native (default) or windows.
#   scripts/build.sh [native|windows] [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-native}
shift || true
case "$target" in
  native) dir="$root/build/native"; args=() ;;
  windows) dir="$root/build/windows"; args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake") ;;
  *) dir="$root/build/$target"; args=() ;;
esac
cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" "$@" --log-level=WARNING
cmake --build "$dir" -j "$(nproc)"
