#!/usr/bin/env bash
# Registers and unregisters RididaViz.DLL with regsvr32 in a wine prefix of
# its own (registration writes HKEY_CLASSES_ROOT, which must not leak into
# the other tests) and checks every key and value with `reg query`.
#   registration_test.sh PATH/TO/RididaViz.DLL PREFIX_DIR
set -uo pipefail
dll_unix=$(realpath "$1")
mkdir -p "$(dirname "$2")"
export WINEPREFIX=$(realpath -m "$2")
export WINEDEBUG=-all
dll="Z:${dll_unix//\//\\}"
clsid='{5E2121EE-0300-11D4-8D3B-444553540000}'
class_key="HKCR\\CLSID\\$clsid"
handlers='HKCR\AllFilesystemObjects\ShellEx\ContextMenuHandlers'
approved='HKLM\Software\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved'

# A fresh prefix costs half a minute; later runs reuse it.
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  rm -rf "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver -w
fi
wineserver -p 60  # keep one server for the many short wine runs below

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
query() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }
# expect_value KEY NAME DATA   (NAME empty: the default value)
expect_value() {
  local out
  if [[ -z "$2" ]]; then out=$(query "$1" /ve); else out=$(query "$1" /v "$2"); fi
  grep -qF "REG_SZ    $3" <<<"$out" || fail "$1 [${2:-default}] is not '$3': $out"
}
expect_key() { wine reg query "$1" >/dev/null 2>&1 || fail "missing key $1"; }
expect_no_key() { wine reg query "$1" >/dev/null 2>&1 && fail "key still there: $1"; }

# Start from a clean slate, with a stale handler key to be replaced and a
# foreign handler that must be kept.
wine regsvr32 /s /u "$dll" >/dev/null 2>&1
wine reg add "$handlers\\RerozavUvaVor\\Stale" /v junk /d x /f >/dev/null 2>&1
wine reg add "$handlers\\SomeoneElse" /ve /d "{00000000-0000-0000-0000-000000000001}" /f >/dev/null 2>&1

for round in 1 2; do
  wine regsvr32 /s "$dll" || fail "regsvr32 round $round exit $?"
  expect_value "$class_key" "" "Rawlift Shell Extension"
  expect_value "$class_key\\InprocServer32" "" "$dll"
  expect_value "$class_key\\InprocServer32" ThreadingModel Apartment
  expect_value "$class_key\\ShellEx\\ContextMenuHandlers\\RerozavUvaVor" "" "$clsid"
  expect_value "$handlers\\RerozavUvaVor" "" "$clsid"
  expect_value "$approved" "$clsid" "Rawlift Shell Extension"
  expect_no_key "$handlers\\RerozavUvaVor\\Stale"
  expect_key "$handlers\\SomeoneElse"
  # Exactly one set of entries after registering twice.
  n=$(query "$class_key" /s | grep -c '^HKEY_CLASSES_ROOT')
  [[ $n -eq 5 ]] || fail "round $round: $n keys below the class key, expected 5"
  n=$(query "$handlers\\RerozavUvaVor" /s | grep -c 'REG_SZ')
  [[ $n -eq 1 ]] || fail "round $round: $n values below the handler key, expected 1"
done

wine regsvr32 /s /u "$dll" || fail "unregister exit $?"
expect_no_key "$class_key"
expect_no_key "$handlers\\RerozavUvaVor"
expect_key "$handlers"
expect_key "$handlers\\SomeoneElse"
expect_key 'HKCR\AllFilesystemObjects\ShellEx'
expect_key 'HKCR\CLSID'
query "$approved" | grep -qF "$clsid" && fail "Approved value still there"

wine reg delete "$handlers\\SomeoneElse" /f >/dev/null 2>&1
wineserver -k 2>/dev/null
if ((failures)); then
  echo "$failures registration checks failed"
  exit 1
fi
echo "registration checks passed"
