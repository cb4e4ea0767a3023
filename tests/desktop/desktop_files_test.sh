#!/usr/bin/env bash
# The installed file-manager actions: each file where its file manager looks,
# valid in its format, naming the installed wrapper; and the Nautilus script
# and the wrapper handing every name on to rawlift intact.
#   desktop_files_test.sh INSTALL_ROOT RAWLIFT MAKE_DEMO_FOLDER
set -u
source "$(dirname "$0")/desktop_test_lib.sh"

root=$1
wrapper="$root/libexec/rawlift/rawlift-extract-desktop"
nemo="$root/share/nemo/actions/rawlift-extract.nemo_action"
dolphin="$root/share/kio/servicemenus/rawlift-extract.desktop"
thunar="$root/share/rawlift/thunar-uca-action.xml"
nautilus="$root/share/rawlift/nautilus-scripts/Extract JPEG previews"
exec_line="Exec=\"$wrapper\" -- %F"

for f in "$wrapper" "$nemo" "$dolphin" "$thunar" "$nautilus"; do
  check "installed: $f" test -f "$f"
done
check "the wrapper is executable" test -x "$wrapper"
# The thumbnailer runs the installed binary by its absolute path, as the
# actions do. Guards: file managers whose PATH lacks ~/.local/bin getting no
# thumbnails.
thumbnailer="$root/share/thumbnailers/rawlift.thumbnailer"
check "installed: $thumbnailer" test -f "$thumbnailer"
check "the thumbnailer tries the installed binary" grep -qxF "TryExec=$root/bin/rawlift" "$thumbnailer"
check "the thumbnailer runs the installed binary" \
  grep -qxF "Exec=\"$root/bin/rawlift\" thumbnail -s %s %i %o" "$thumbnailer"
check "the Nautilus script is executable" test -x "$nautilus"
check "the wrapper parses" bash -n "$wrapper"
check "the Nautilus script parses" sh -n "$nautilus"

# Dolphin: the desktop entry checker knows no KDE service menus, so exactly
# the complaints about the parts of that format are expected (Type=Service
# with its MimeType and Actions keys, the pseudo type all/allfiles); any
# other one is a fault of ours.
if command -v desktop-file-validate >/dev/null 2>&1; then
  complaints=$(desktop-file-validate "$dolphin" 2>&1 |
    grep -v -e 'contains value "all/allfiles" which is an invalid MIME type' \
      -e 'key "MimeType" is present in group "Desktop Entry", but the type is "Service"' \
      -e 'key "Actions" is present in group "Desktop Entry", but the type is "Service"')
  check_equal "desktop-file-validate finds nothing else in the Dolphin menu" "" "$complaints"
else
  skipped="desktop-file-validate is not installed"
fi
check "Dolphin: a service menu" grep -qx "Type=Service" "$dolphin"
check "Dolphin: in the context menu" grep -qx "X-KDE-ServiceTypes=KonqPopupMenu/Plugin" "$dolphin"
check "Dolphin: on files and folders" grep -qx "MimeType=all/allfiles;inode/directory;" "$dolphin"
check "Dolphin: one action" grep -qx "Actions=extractJpegPreviews;" "$dolphin"
check "Dolphin: its group" grep -qx "\[Desktop Action extractJpegPreviews\]" "$dolphin"
check "Dolphin: its name" grep -qx "Name=Extract JPEG previews" "$dolphin"
check "Dolphin: runs the installed wrapper" grep -qxF "$exec_line" "$dolphin"

# Nemo: its own key file format (no desktop entry), so its keys are checked
# here: one group, known keys each once, the values Nemo needs.
check_equal "Nemo: one group" "[Nemo Action]" "$(grep '^\[' "$nemo")"
unknown=$(grep -v -e '^\[' -e '^$' -e '^#' "$nemo" | cut -d= -f1 |
  grep -vx -e Name -e Comment -e Exec -e Icon-Name -e Selection -e Extensions -e Dependencies)
check_equal "Nemo: only known keys" "" "$unknown"
check_equal "Nemo: no key twice" "" "$(grep -v -e '^\[' -e '^$' -e '^#' "$nemo" | cut -d= -f1 | sort | uniq -d)"
check "Nemo: its name" grep -qx "Name=Extract JPEG previews" "$nemo"
check "Nemo: on any selection" grep -qx "Selection=notnone" "$nemo"
check "Nemo: on files and folders" grep -qx "Extensions=any;" "$nemo"
check "Nemo: runs the installed wrapper" grep -qxF "$exec_line" "$nemo"
check "Nemo: shown only when the wrapper is there" grep -qxF "Dependencies=$wrapper;" "$nemo"

# Thunar: one <action> element, well-formed, offered on files and folders.
if command -v xmllint >/dev/null 2>&1; then
  check "Thunar: the action is well-formed XML" xmllint --noout "$thunar"
  check_equal "Thunar: runs the installed wrapper" "\"$wrapper\" -- %F" \
    "$(xmllint --xpath 'string(/action/command)' "$thunar")"
fi
check "Thunar: its id" grep -q "<unique-id>rawlift-extract-jpeg-previews</unique-id>" "$thunar"
check "Thunar: on folders" grep -q "<directories/>" "$thunar"
check "Thunar: on other files" grep -q "<other-files/>" "$thunar"

# The names of a Nautilus selection reach rawlift as they are, each one
# argument. A stand-in rawlift records its arguments, NUL-separated.
# Guards: word splitting, globbing, a name taken for an option (a leading
# "-", the helper's own option), a newline or a byte that is not UTF-8 lost.
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
stand_in_bin "$work/bin"
cat >"$work/bin/fake-rawlift" <<'EOF'
#!/usr/bin/env bash
printf '%s\0' "$@" >>"$RECORD"
printf '# done\n100\n'
echo "Files Scanned: 0" >&2
EOF
chmod +x "$work/bin/fake-rawlift"
mkdir -p "$work/folder"
names=("with space.CR2" "-v.NEF" "--install-user-actions" "*.CR2" $'new\nline.CR2' $'caf\xe9.CR2'
  "quote'\"s.CR2")
(cd "$work/folder" && env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH" \
  RAWLIFT="$work/bin/fake-rawlift" RECORD="$work/args" "$nautilus" "${names[@]}" >/dev/null 2>&1)
check_equal "Nautilus: rawlift got every name intact" \
  "$(printf '%s\n' extract --progress --recursive -- "${names[@]}" | od -c)" \
  "$(tr '\0' '\n' <"$work/args" | od -c)"
rm -f "$work/args"
(cd "$work/folder" && env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH" \
  RAWLIFT="$work/bin/fake-rawlift" RECORD="$work/args" \
  NAUTILUS_SCRIPT_CURRENT_URI="file://$work/folder" "$nautilus" >/dev/null 2>&1)
check_equal "Nautilus: nothing selected in a local folder takes that folder" \
  "extract --progress --recursive -- ." "$(tr '\0' ' ' <"$work/args" | sed 's/ $//')"

finish
