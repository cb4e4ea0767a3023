#!/usr/bin/env bash
# Installs, upgrades and removes the Rawlift MSI with wine's msiexec in a
# wine prefix of its own, and checks the files, the extension's registry
# keys (64-bit view), the installed programs entry, the command and the
# context-menu handler run from the installed files, and that the user's
# settings file survives. Exit code 77 (skipped) without the packages or wine.
#   installer_test.sh PREFIX_DIR VERSION MSI REBUILD_MSI NEWER_MSI \
#                     HOLD_EXTENSION_EXE DIALOGS_TEST_EXE BUILT_DLL BUILT_EXE \
#                     [UNSTRIPPED_EXE [RECORD_COMMAND_EXE]]
# REBUILD_MSI is another build of VERSION (a ProductCode of its own),
# NEWER_MSI the next patch version. The package Rawlift.msix is expected
# beside BUILT_DLL. RECORD_COMMAND_EXE takes powershell.exe's place: it
# records the package registration commands the installer runs and fails
# them, as a Windows without package registration does.
set -uo pipefail
if (($# < 9 || $# > 11)); then
  echo "usage: $0 PREFIX_DIR VERSION MSI REBUILD_MSI NEWER_MSI HOLD_EXE DIALOGS_TEST_EXE DLL EXE [UNSTRIPPED_EXE [RECORD_COMMAND_EXE]]" >&2
  exit 2
fi
prefix=$1 version=$2 msi=$3 rebuild_msi=$4 newer_msi=$5
hold_exe=$6 dialogs_test=$7 built_dll=$8 built_exe=$9 unstripped_exe=${10:-} record_exe=${11:-}
built_package=$(dirname "$built_dll")/Rawlift.msix
if [[ -z "$msi" || ! -f "$msi" ]]; then
  echo "SKIP: no installer was built (wixl missing?)"
  exit 77
fi
if ! command -v wine >/dev/null; then
  echo "SKIP: wine missing"
  exit 77
fi
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$(realpath -m "$prefix")
export WINEDEBUG=-all

clsid='{5E2121EE-0300-11D4-8D3B-444553540000}'
class_key="HKCR\\CLSID\\$clsid"
handlers='HKCR\AllFilesystemObjects\ShellEx\ContextMenuHandlers'
approved='HKLM\Software\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
foreign_clsid='{00000000-0000-0000-0000-000000000001}'
thumb_clsid='{70415E0D-0FB0-4BE3-AFE1-821E3CC9DB6E}'
preview_clsid='{D8F77B30-2153-443E-BE2E-E862FF2F2B72}'
command_clsid='{D27FE460-1D0E-413B-B320-D09A3A4385B3}'
thumb_key='{E357FCCD-A995-4576-B01F-234630154E96}'
preview_key='{8895B1C6-B41F-4C1C-A562-0D564250836F}'
preview_list='HKLM\Software\Microsoft\Windows\CurrentVersion\PreviewHandlers'
types='HKCR\SystemFileAssociations'
# The suffixes the extraction job reads.
suffixes=(raf crw cr2 kdc dcr mrw nef orf dng ptx pef arw srf x3f erf mos raw cr3 rw2 rwl nrw
  srw sr2 ori iiq)
install_dir="$WINEPREFIX/drive_c/Program Files/Rawlift"
installed_dll='C:\Program Files\Rawlift\RididaViz.DLL'
installed_exe='C:\Program Files\Rawlift\rawlift.exe'
# The package registration the installer runs, and its removal.
register_command="-NoProfile -NonInteractive -ExecutionPolicy Bypass -WindowStyle Hidden -Command \"Add-AppxPackage -Path 'C:\\Program Files\\Rawlift\\Rawlift.msix' -ExternalLocation 'C:\\Program Files\\Rawlift\\'\""
unregister_command='-NoProfile -NonInteractive -ExecutionPolicy Bypass -WindowStyle Hidden -Command "Get-AppxPackage -Name Corvane.Rawlift | Remove-AppxPackage"'
# The exit status of a wine process keeps the low 8 bits of its exit code.
ok=0 refused=$((1603 & 255)) restart_needed=$((3010 & 255))

# A fresh prefix costs half a minute; later runs reuse it and clean up
# what an interrupted run left.
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  rm -rf "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver -w
fi
wineserver -p 60 # one server for the many short wine runs below

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# reg_run: `wine reg ARGS`; on a loaded machine wine now and then fails to start a
# program at all, which must not read as a missing or present key.
source "$(dirname "${BASH_SOURCE[0]}")/wine_reg.sh"
query() { reg_run query "$@"; }
# expect_value KEY NAME DATA   (NAME empty: the default value), 64-bit view
expect_value() {
  local out
  local try
  # An empty answer is wine's `reg` failing under load (seen once among
  # the many queries of a run): asked once more.
  for try in 1 2; do
    if [[ -z "$2" ]]; then out=$(query "$1" /ve /reg:64); else out=$(query "$1" /v "$2" /reg:64); fi
    [[ -n "$out" ]] && break
  done
  grep -qF "REG_SZ    $3" <<<"$out" || fail "$1 [${2:-default}] is not '$3': $out"
}
has_key() { reg_run query "$@" >/dev/null; }
expect_key() { has_key "$1" /reg:64 || fail "missing key $1"; }
expect_no_key() { has_key "$1" "${@:2}" && fail "key still there: $1 ${*:2}"; }
# The ProductCodes of the installed programs entries named Rawlift.
rawlift_entries() {
  query "$uninstall" /s /reg:64 | awk '
    /^HKEY/ { key = $0; sub(/.*\\/, "", key) }
    /^ +DisplayName +REG_SZ +Rawlift$/ { print key }'
}
msiexec() {
  local action=$1 package=$2
  shift 2
  wine msiexec "$action" "$package" /qn "$@"
}
windows_path() { winepath -w "$1" 2>/dev/null; }

# Holding the DLL as the Explorer does: hold_extension creates the handler
# through COM (so the registry picks the module) and keeps it loaded until
# its input closes. start_holding sets `held` to what it printed.
hold_fifo="$WINEPREFIX/hold.fifo"
hold_out="$WINEPREFIX/hold.out"
hold_pid=
start_holding() {
  rm -f "$hold_fifo" "$hold_out"
  mkfifo "$hold_fifo"
  wine "$hold_exe" <"$hold_fifo" >"$hold_out" 2>&1 &
  hold_pid=$!
  exec 3>"$hold_fifo"
  for _ in $(seq 150); do
    grep -q '^loaded\|failed' "$hold_out" 2>/dev/null && break
    kill -0 "$hold_pid" 2>/dev/null || break
    sleep 0.2
  done
  held=$(tr -d '\r' <"$hold_out")
}
stop_holding() {
  if [[ -n "$hold_pid" ]]; then
    exec 3>&-
    wait "$hold_pid"
    hold_pid=
  fi
}
trap 'stop_holding; wineserver -k 2>/dev/null' EXIT

settings_file=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')")/Corvane/RLFT/RLFT.cfg

# The thumbnail and preview handler keys of the types, from one dump:
# "suffix handler-key clsid" for ours and the foreign one.
handler_rows() {
  query "$types" /s /reg:64 | awk '
    /^HKEY/ { key = $0; next }
    /\(Default\)/ && key ~ /\\ShellEx\\\{/ {
      n = split(key, part, "\\")
      print tolower(part[n - 2]), toupper(part[n]), toupper($NF)
    }' | grep -iE "$thumb_clsid|$preview_clsid|$foreign_clsid" | sort | tr '\n' ';'
}
# Ours for every suffix, but another program's thumbnail handler for .cr3.
expected_rows=$(for s in "${suffixes[@]}"; do
  if [[ $s == cr3 ]]; then echo ".$s $thumb_key $foreign_clsid"; else echo ".$s $thumb_key $thumb_clsid"; fi
  echo ".$s $preview_key $preview_clsid"
done | sort | tr '\n' ';')

# ---- Clean slate: nothing of Rawlift, a foreign handler and a foreign
# approved extension that must outlive the uninstallation, no settings.
for code in $(rawlift_entries); do msiexec /x "$code"; done
rm -rf "$install_dir"
rm -f "$settings_file"
reg_run add "$handlers\\SomeoneElse" /ve /d "$foreign_clsid" /f /reg:64 >/dev/null ||
  fail "could not add the foreign handler"
reg_run add "$approved" /v "$foreign_clsid" /d "Someone else" /f /reg:64 >/dev/null ||
  fail "could not add the foreign approved value"
reg_run delete "$types\\.nef" /f /reg:64 >/dev/null
reg_run add "$types\\.cr3\\ShellEx\\$thumb_key" /ve /d "$foreign_clsid" /f /reg:64 >/dev/null ||
  fail "could not add the foreign thumbnail handler"

# Everything one installed package must have put in place; sets
# `installed_code` to the entry's ProductCode.
check_installed() {
  local when=$1 expected_version=$2 entries code out
  installed_code=
  [[ -f "$install_dir/RididaViz.DLL" ]] || fail "$when: RididaViz.DLL not installed"
  [[ -f "$install_dir/rawlift.exe" ]] || fail "$when: rawlift.exe not installed"
  out=$(ls -A "$install_dir" 2>/dev/null | LC_ALL=C sort | tr '\n' ' ')
  [[ "$out" == "Rawlift.msix RididaViz.DLL rawlift.exe " ]] || fail "$when: installed folder holds: $out"

  expect_value "$class_key" "" "Rawlift Shell Extension"
  expect_value "$class_key\\InprocServer32" "" "$installed_dll"
  expect_value "$class_key\\InprocServer32" ThreadingModel Apartment
  expect_value "$class_key\\ShellEx\\ContextMenuHandlers\\RerozavUvaVor" "" "$clsid"
  expect_value "$handlers\\RerozavUvaVor" "" "$clsid"
  expect_value "$approved" "$clsid" "Rawlift Shell Extension"
  # The thumbnail and preview handlers.
  expect_value "HKCR\\CLSID\\$thumb_clsid\\InprocServer32" "" "$installed_dll"
  expect_value "HKCR\\CLSID\\$preview_clsid\\InprocServer32" "" "$installed_dll"
  expect_value "HKCR\\CLSID\\$command_clsid\\InprocServer32" "" "$installed_dll"
  expect_value "HKCR\\CLSID\\$command_clsid\\InprocServer32" ThreadingModel Apartment
  expect_value "HKCR\\CLSID\\$preview_clsid" AppID '{6D2B5079-2F0B-48DD-AB7F-97CEC514D30B}'
  expect_value "$preview_list" "$preview_clsid" "Rawlift Preview Handler"
  expect_value "$approved" "$thumb_clsid" "Rawlift Thumbnail Handler"
  local rows
  rows=$(handler_rows)
  [[ "$rows" == "$expected_rows" ]] || fail "$when: handler keys are: $rows"
  # A 32-bit registration would be invisible to the 64-bit Explorer.
  expect_no_key "$class_key" /reg:32
  expect_no_key "$handlers\\RerozavUvaVor" /reg:32

  entries=$(rawlift_entries)
  if [[ $(wc -w <<<"$entries") -ne 1 ]]; then
    fail "$when: installed programs list '$entries', expected one Rawlift"
    return
  fi
  code=$entries
  local entry="$uninstall\\$code"
  expect_value "$entry" DisplayVersion "$expected_version"
  expect_value "$entry" Publisher Corvane
  out=$(query "$entry" /v UninstallString /reg:64)
  grep -qiF "msiexec.exe /x$code" <<<"$out" || fail "$when: UninstallString is $out"
  query "$entry" /v NoModify /reg:64 | grep -q '0x1$' || fail "$when: NoModify is not 1"
  # The estimated size in KiB: Windows computes EstimatedSize itself, wine
  # writes the package's ARPSIZE as Size.
  local bytes=$(($(stat -c %s "$install_dir/RididaViz.DLL") + $(stat -c %s "$install_dir/rawlift.exe") +
    $(stat -c %s "$install_dir/Rawlift.msix")))
  local kib=$(((bytes + 1023) / 1024))
  out=$(query "$entry" /reg:64)
  grep -qE "Size +REG_SZ +$kib$|EstimatedSize +REG_DWORD +0x[1-9a-f]" <<<"$out" ||
    fail "$when: no size of $kib KiB in the entry: $out"
  installed_code=$code
}

# The package registration commands: wine has no package deployment, so
# powershell.exe is replaced by a program that records its command line and
# fails. expect_commands STEP "register unregister ..." compares what the
# installer ran since the last call with the list, in order.
powershell_dir="$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0"
command_log="$powershell_dir/powershell.exe.log"
if [[ -n $record_exe && -f $record_exe ]]; then
  mkdir -p "$powershell_dir"
  cp "$record_exe" "$powershell_dir/powershell.exe"
  rm -f "$command_log"
  recording=yes
else
  echo "NOTE: no command recorder, the package registration commands are not checked"
  recording=no
fi
expect_commands() {
  [[ $recording == yes ]] || return 0
  local step=$1 expected=$2 seen="" line args
  while IFS= read -r line; do
    line=${line%$'\r'}
    # The program's own path (quoted or not) and then its arguments.
    args=${line#*powershell.exe}
    args=${args#\"}
    args=${args# }
    if [[ $args == "$register_command" ]]; then
      seen+="register "
    elif [[ $args == "$unregister_command" ]]; then
      seen+="unregister "
    else
      seen+="other "
      echo "unexpected command: $line"
    fi
  done < <(cat "$command_log" 2>/dev/null)
  rm -f "$command_log"
  [[ "$seen" == "${expected:+$expected }" ]] || fail "$step: package commands '$seen', expected '$expected'"
}

# ---- 1. A fresh installation. The package's registration fails (the
# recorder's exit code 1, as on a Windows without it), and the installation
# succeeds all the same.
msiexec /i "$(windows_path "$msi")"
rc=$?
((rc == ok)) || fail "install exit $rc"
check_installed "install" "$version"
expect_commands "install" "register"
first_code=$installed_code
cmp -s "$install_dir/RididaViz.DLL" "$built_dll" || fail "installed RididaViz.DLL differs from the build's"
cmp -s "$install_dir/rawlift.exe" "$built_exe" || fail "installed rawlift.exe differs from the build's"
cmp -s "$install_dir/Rawlift.msix" "$built_package" || fail "installed Rawlift.msix differs from the build's"
# Guards: debug information shipped (an 11.6 MB rawlift.exe).
if [[ -n $unstripped_exe && -f $unstripped_exe ]] &&
  (($(stat -c %s "$install_dir/rawlift.exe") >= $(stat -c %s "$unstripped_exe"))); then
  fail "installed rawlift.exe is not smaller than the build's: not stripped"
fi
out=$(wine "$installed_exe" --version 2>&1 | tr -d '\r')
[[ "$out" == "rawlift $version" ]] || fail "installed rawlift --version says: $out"

# COM finds the installed module through the keys the package wrote.
start_holding
stop_holding
[[ "$held" == "loaded $installed_dll" ]] || fail "handler through COM: $held"

# The whole context-menu command through the installed DLL.
if [[ -n "${DISPLAY:-}" ]]; then
  RAWLIFT_TEST_MODULE="$installed_dll" wine "$dialogs_test" --gtest_brief=1 \
    --gtest_filter='InvokeCommandTest.ExtractWritesFullSizeAndReducedCopiesAndTheSettingsFile' \
    >"$WINEPREFIX/invoke.out" 2>&1 || {
    tr -d '\r' <"$WINEPREFIX/invoke.out"
    fail "the command through the installed DLL failed"
  }
  grep -q 'PASSED.*1 test' "$WINEPREFIX/invoke.out" || fail "the command's test did not run"
else
  echo "NOTE: no display, the command through the installed DLL is not run"
fi

# The user's settings, written by the installed command.
wine "$installed_exe" settings --max-width 1234 --no-suffix >/dev/null 2>&1 ||
  fail "rawlift settings failed"
[[ -f "$settings_file" ]] || fail "no settings file at $settings_file"
cp "$settings_file" "$WINEPREFIX/settings.saved" 2>/dev/null

# ---- 2. Another build of the same version replaces the first: one entry.
msiexec /i "$(windows_path "$rebuild_msi")"
rc=$?
((rc == ok)) || fail "reinstall of the same version exit $rc"
check_installed "same version again" "$version"
# The old one's removal takes its package with it; the new one registers.
expect_commands "same version again" "unregister register"
[[ "$installed_code" != "$first_code" ]] || fail "the rebuild kept ProductCode $first_code"

# ---- 3. The next version, while the Explorer (here hold_extension) holds
# the DLL: the installation must not fail on the file in use (Windows
# replaces it at the next restart and answers 3010; wine leaves the held
# file as it is).
newer_version=$(awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }' <<<"$version")
start_holding
[[ "$held" == "loaded $installed_dll" ]] || fail "holding the DLL: $held"
msiexec /i "$(windows_path "$newer_msi")"
rc=$?
((rc == ok || rc == restart_needed)) || fail "upgrade with the DLL in use exit $rc"
stop_holding
check_installed "upgrade" "$newer_version"
expect_commands "upgrade" "unregister register"
newer_code=$installed_code

# ---- 4. A downgrade is refused and changes nothing.
msiexec /i "$(windows_path "$msi")"
rc=$?
((rc == refused)) || fail "downgrade exit $rc, expected the low byte of 1603"
check_installed "refused downgrade" "$newer_version"
expect_commands "refused downgrade" ""
[[ "$installed_code" == "$newer_code" ]] || fail "the refused downgrade replaced $newer_code"

# ---- 5. Removal while the DLL is held: no failure, nothing of ours left
# in the registry, the command gone; the held DLL goes at the next restart
# on Windows (wine leaves it, so it is cleared here before the last round).
start_holding
msiexec /x "$newer_code"
rc=$?
((rc == ok || rc == restart_needed)) || fail "uninstall with the DLL in use exit $rc"
stop_holding
[[ -z "$(rawlift_entries)" ]] || fail "entry left after uninstall: $(rawlift_entries)"
expect_no_key "$class_key" /reg:64
expect_commands "uninstall with the DLL in use" "unregister"
[[ -f "$install_dir/rawlift.exe" ]] && fail "rawlift.exe left after uninstall"
[[ -f "$install_dir/Rawlift.msix" ]] && fail "Rawlift.msix left after uninstall"
if [[ -f "$install_dir/RididaViz.DLL" ]]; then
  pending=no
  query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations |
    grep -q REG_MULTI_SZ && pending=yes
  echo "NOTE: the held DLL is still there after its removal (deletion at restart scheduled: $pending)"
  rm -rf "$install_dir"
fi

# ---- 6. Install again and remove with nothing held: every file and key
# goes, the shared keys, the foreign entries and the settings stay.
msiexec /i "$(windows_path "$msi")"
rc=$?
((rc == ok)) || fail "install after removal exit $rc"
check_installed "install after removal" "$version"
expect_commands "install after removal" "register"
# Keys added below ours after the installation go with them, as
# DllUnregisterServer deletes both subtrees whole.
reg_run add "$class_key\\Added" /v x /d y /f /reg:64 >/dev/null || fail "could not add below the class"
reg_run add "$handlers\\RerozavUvaVor\\Added" /v x /d y /f /reg:64 >/dev/null ||
  fail "could not add below the handler"
# Another program takes over .nef's thumbnail handler after our installation.
reg_run add "$types\\.nef\\ShellEx\\$thumb_key" /ve /d "$foreign_clsid" /f /reg:64 >/dev/null ||
  fail "could not add the later foreign handler"
msiexec /x "$installed_code"
rc=$?
((rc == ok)) || fail "uninstall exit $rc"
expect_commands "uninstall" "unregister"
# Only the other programs' handlers stay.
rows=$(handler_rows)
[[ "$rows" == ".cr3 $thumb_key $foreign_clsid;.nef $thumb_key $foreign_clsid;" ]] ||
  fail "handler keys after uninstall: $rows"
expect_no_key "HKCR\\CLSID\\$thumb_clsid" /reg:64
expect_no_key "HKCR\\CLSID\\$preview_clsid" /reg:64
expect_no_key "HKCR\\CLSID\\$command_clsid" /reg:64
query "$preview_list" /reg:64 | grep -qiF "$preview_clsid" && fail "preview handler still listed"
query "$approved" /reg:64 | grep -qiE "$thumb_clsid|$preview_clsid" && fail "handlers still approved"
has_key "$types\\.arw" /reg:64 && echo "NOTE: the emptied key $types\\.arw is left after uninstall"
[[ -e "$install_dir" ]] && fail "installed folder left: $(ls -A "$install_dir")"
[[ -z "$(rawlift_entries)" ]] || fail "entry left after uninstall: $(rawlift_entries)"
expect_no_key "$class_key" /reg:64
expect_no_key "$handlers\\RerozavUvaVor" /reg:64
query "$approved" /reg:64 | grep -qF "$clsid" && fail "Approved value still there"
expect_key "$handlers"
expect_value "$handlers\\SomeoneElse" "" "$foreign_clsid"
expect_value "$approved" "$foreign_clsid" "Someone else"
expect_key 'HKCR\CLSID'
start_holding
stop_holding
grep -q '^CoCreateInstance failed' <<<"$held" || fail "the handler is still creatable: $held"
cmp -s "$settings_file" "$WINEPREFIX/settings.saved" || fail "the settings file changed or went"

reg_run delete "$handlers\\SomeoneElse" /f /reg:64 >/dev/null
reg_run delete "$types\\.cr3" /f /reg:64 >/dev/null
reg_run delete "$types\\.nef" /f /reg:64 >/dev/null
reg_run delete "$approved" /v "$foreign_clsid" /f /reg:64 >/dev/null
if ((failures)); then
  echo "$failures installer checks failed"
  exit 1
fi
echo "installer checks passed"
