#!/usr/bin/env bash
# Registers and unregisters RididaViz.DLL with regsvr32 in a wine prefix of
# its own (registration writes HKEY_CLASSES_ROOT, which must not leak into
# the other tests) and checks every key and value with `reg query`: the
# context-menu handler, and the thumbnail and preview handlers of every RAW
# suffix, beside other programs' handlers, ProgIDs and perceived types.
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
thumb_clsid='{70415E0D-0FB0-4BE3-AFE1-821E3CC9DB6E}'
preview_clsid='{D8F77B30-2153-443E-BE2E-E862FF2F2B72}'
command_clsid='{D27FE460-1D0E-413B-B320-D09A3A4385B3}'
thumb_key='{E357FCCD-A995-4576-B01F-234630154E96}'
preview_key='{8895B1C6-B41F-4C1C-A562-0D564250836F}'
preview_list='HKLM\Software\Microsoft\Windows\CurrentVersion\PreviewHandlers'
types='HKCR\SystemFileAssociations'
foreign_clsid='{00000000-0000-0000-0000-0000000000F0}'
# The suffixes the extraction job reads.
suffixes=(raf crw cr2 kdc dcr mrw nef orf dng ptx pef arw srf x3f erf mos raw cr3 rw2 rwl nrw
  srw sr2 ori iiq)

# A fresh prefix costs half a minute; later runs reuse it.
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  rm -rf "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver -w
fi
wineserver -p 60  # keep one server for the many short wine runs below

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
source "$(dirname "${BASH_SOURCE[0]}")/wine_reg.sh"
query() { reg_run query "$@"; }
# expect_value KEY NAME DATA   (NAME empty: the default value)
expect_value() {
  local out
  if [[ -z "$2" ]]; then out=$(query "$1" /ve); else out=$(query "$1" /v "$2"); fi
  grep -qF "REG_SZ    $3" <<<"$out" || fail "$1 [${2:-default}] is not '$3': $out"
}
expect_key() { reg_run query "$1" >/dev/null || fail "missing key $1"; }
expect_no_key() { reg_run query "$1" >/dev/null && fail "key still there: $1"; }

# Start from a clean slate, with a stale handler key to be replaced and a
# foreign handler that must be kept.
wine regsvr32 /s /u "$dll" >/dev/null 2>&1
wine reg add "$handlers\\RerozavUvaVor\\Stale" /v junk /d x /f >/dev/null 2>&1
wine reg add "$handlers\\SomeoneElse" /ve /d "{00000000-0000-0000-0000-000000000001}" /f >/dev/null 2>&1
# Another program's: a thumbnail handler for .cr3 in the same place as ours,
# one on the extension's own key, the extension's ProgID and perceived type.
for k in "$types\\.cr3\\ShellEx\\$thumb_key" "$types\\.cr3\\ShellEx\\$preview_key" 'HKCR\.cr3'; do
  wine reg delete "$k" /f >/dev/null 2>&1
done
wine reg delete "$types\\.nef" /f >/dev/null 2>&1
wine reg add "$types\\.cr3\\ShellEx\\$thumb_key" /ve /d "$foreign_clsid" /f >/dev/null 2>&1
wine reg add "HKCR\\.cr3\\ShellEx\\$thumb_key" /ve /d "$foreign_clsid" /f >/dev/null 2>&1
wine reg add 'HKCR\.cr3' /ve /d "Foreign.CR3" /f >/dev/null 2>&1
wine reg add 'HKCR\.cr3' /v PerceivedType /d image /f >/dev/null 2>&1

# The handler keys of every suffix, from one dump: "suffix handler-key clsid".
handler_rows() {
  query "$types" /s | awk '
    /^HKEY/ { key = $0; next }
    /\(Default\)/ && key ~ /\\ShellEx\\\{/ {
      n = split(key, part, "\\")
      print tolower(part[n - 2]), toupper(part[n]), toupper($NF)
    }' | grep -iE "$thumb_clsid|$preview_clsid|$foreign_clsid"
}
# The rows expected of our registration, with .cr3's thumbnail key foreign.
expected_rows() {
  for s in "${suffixes[@]}"; do
    if [[ $s == cr3 ]]; then echo ".$s $thumb_key $foreign_clsid"; else echo ".$s $thumb_key $thumb_clsid"; fi
    echo ".$s $preview_key $preview_clsid"
  done
}
check_foreign_untouched() {
  expect_value "HKCR\\.cr3\\ShellEx\\$thumb_key" "" "$foreign_clsid"
  expect_value 'HKCR\.cr3' "" "Foreign.CR3"
  expect_value 'HKCR\.cr3' PerceivedType image
}

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

  # The thumbnail and preview handlers: their classes, the lists, every type.
  for c in "$thumb_clsid Rawlift Thumbnail Handler" "$preview_clsid Rawlift Preview Handler"; do
    id=${c%% *} name=${c#* }
    expect_value "HKCR\\CLSID\\$id" "" "$name"
    expect_value "HKCR\\CLSID\\$id\\InprocServer32" "" "$dll"
    expect_value "HKCR\\CLSID\\$id\\InprocServer32" ThreadingModel Apartment
    expect_value "$approved" "$id" "$name"
  done
  # The Windows 11 menu's command: the class key only.
  expect_value "HKCR\\CLSID\\$command_clsid" "" "Rawlift Explorer Command"
  expect_value "HKCR\\CLSID\\$command_clsid\\InprocServer32" "" "$dll"
  expect_value "HKCR\\CLSID\\$command_clsid\\InprocServer32" ThreadingModel Apartment
  expect_value "HKCR\\CLSID\\$preview_clsid" AppID '{6D2B5079-2F0B-48DD-AB7F-97CEC514D30B}'
  expect_value "$preview_list" "$preview_clsid" "Rawlift Preview Handler"
  diff <(expected_rows | sort) <(handler_rows | sort) >/dev/null ||
    fail "round $round: handler keys differ: $(diff <(expected_rows | sort) <(handler_rows | sort) | head -5)"
  check_foreign_untouched
  # Another program registering after us for .nef takes the key over.
  ((round == 2)) && wine reg add "$types\\.nef\\ShellEx\\$thumb_key" /ve /d "$foreign_clsid" /f >/dev/null 2>&1
done

wine regsvr32 /s /u "$dll" || fail "unregister exit $?"
expect_no_key "$class_key"
expect_no_key "$handlers\\RerozavUvaVor"
expect_key "$handlers"
expect_key "$handlers\\SomeoneElse"
expect_key 'HKCR\AllFilesystemObjects\ShellEx'
expect_key 'HKCR\CLSID'
query "$approved" | grep -qF "$clsid" && fail "Approved value still there"
query "$approved" | grep -qiE "$thumb_clsid|$preview_clsid" && fail "handlers' Approved values still there"
query "$preview_list" | grep -qiF "$preview_clsid" && fail "preview handler still listed"
expect_no_key "HKCR\\CLSID\\$thumb_clsid"
expect_no_key "HKCR\\CLSID\\$preview_clsid"
expect_no_key "HKCR\\CLSID\\$command_clsid"
# Only the other programs' handlers stay; the keys made for ours are gone.
rows=$(handler_rows | sort | tr '\n' ';')
[[ "$rows" == ".cr3 $thumb_key $foreign_clsid;.nef $thumb_key $foreign_clsid;" ]] ||
  fail "handler keys left after unregistration: $rows"
expect_no_key "$types\\.arw"
check_foreign_untouched
for k in "$types\\.cr3" "$types\\.nef" 'HKCR\.cr3'; do wine reg delete "$k" /f >/dev/null 2>&1; done

wine reg delete "$handlers\\SomeoneElse" /f >/dev/null 2>&1
wineserver -k 2>/dev/null
if ((failures)); then
  echo "$failures registration checks failed"
  exit 1
fi
echo "registration checks passed"
