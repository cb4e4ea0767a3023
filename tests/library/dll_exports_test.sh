#!/usr/bin/env bash
# The Windows build's rawlift.dll exports exactly the calls of the header
# (rawlift_open_path_w included), and its import library is beside it:
#   dll_exports_test.sh RAWLIFT_DLL IMPORT_LIBRARY HEADER
# Guards against engine or runtime symbols leaking into the DLL's exports.
# Exit 77 (skip) without the mingw-w64 objdump.
set -euo pipefail
if (($# != 3)); then
  echo "usage: $0 RAWLIFT_DLL IMPORT_LIBRARY HEADER" >&2
  exit 2
fi
dll=$1
import_library=$2
header=$3
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
if ! command -v "$objdump" >/dev/null; then
  echo "SKIP: $objdump is not installed"
  exit 77
fi
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
headers=$("$objdump" -p "$dll") || fail "$objdump cannot read $dll"
exported=$(printf '%s\n' "$headers" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^\t\[ *[0-9]+\]/ { print $NF; next } { on = 0 }' | sort)
declared=$(sed -n 's/^RAWLIFT_API [^(]*[ *]\(rawlift_[a-z_]*\)(.*/\1/p' "$header" | sort)
[[ -n $declared ]] || fail "no calls found in the header"
[[ $exported == "$declared" ]] ||
  fail "the DLL exports differ from the header's calls: $(diff <(echo "$declared") <(echo "$exported") | tr '\n' ' ')"
[[ -f $import_library ]] || fail "no import library $import_library"
((failures == 0)) || exit 1
echo "rawlift.dll exports the $(echo "$declared" | wc -l) calls of the header"
