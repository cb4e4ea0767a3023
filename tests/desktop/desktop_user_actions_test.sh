#!/usr/bin/env bash
# `rawlift-extract-desktop --install-user-actions`: the Thunar action added
# to the user's uca.xml once, keeping what was there, after a backup; the
# Nautilus script linked; a second run changes nothing.
#   desktop_user_actions_test.sh INSTALL_ROOT RAWLIFT MAKE_DEMO_FOLDER
set -u
source "$(dirname "$0")/desktop_test_lib.sh"

root=$1
wrapper="$root/libexec/rawlift/rawlift-extract-desktop"
script="$root/share/rawlift/nautilus-scripts/Extract JPEG previews"
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT

# The helper as a user whose HOME is $1, with the system's Thunar default in
# $work/xdg (when there is one).
helper() {
  env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$1" XDG_CONFIG_DIRS="$work/xdg" \
    "$wrapper" --install-user-actions
}

count_of() {
  grep -c -- "$1" "$2"
}

well_formed() {
  ! command -v xmllint >/dev/null 2>&1 || xmllint --noout "$1"
}

# A user without uca.xml: the file starts from the system's default, whose
# actions Thunar would stop showing otherwise.
mkdir -p "$work/xdg/Thunar"
cat >"$work/xdg/Thunar/uca.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<actions>
<action>
	<name>Open Terminal Here</name>
	<unique-id>1</unique-id>
	<command>exo-open --working-directory %f --launch TerminalEmulator</command>
	<directories/>
</action>
</actions>
EOF
home="$work/new-user"
uca="$home/.config/Thunar/uca.xml"
link="$home/.local/share/nautilus/scripts/Extract JPEG previews"
check "first run succeeds" helper "$home"
check_equal "the system's action is kept" 1 "$(count_of "<unique-id>1</unique-id>" "$uca")"
check_equal "ours is added once" 1 "$(count_of "<unique-id>rawlift-extract-jpeg-previews</unique-id>" "$uca")"
check_equal "the list is closed once" 1 "$(count_of "</actions>" "$uca")"
check "the result is well-formed" well_formed "$uca"
check_equal "no backup of a file that was not there" "" "$(ls "$home/.config/Thunar" | grep -v '^uca.xml$')"
check_equal "the Nautilus script is linked" "$script" "$(readlink "$link")"
cp "$uca" "$work/after-first"
check "second run succeeds" helper "$home"
check "second run leaves uca.xml as it was" cmp -s "$uca" "$work/after-first"
check_equal "second run makes no backup" "" "$(ls "$home/.config/Thunar" | grep -v '^uca.xml$')"
check_equal "the link stays" "$script" "$(readlink "$link")"

# A user with actions of their own (and text after the list): kept, backed up.
home="$work/own-actions"
uca="$home/.config/Thunar/uca.xml"
mkdir -p "$home/.config/Thunar"
cat >"$uca" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<actions>
<action>
	<name>Mine</name>
	<unique-id>1700000000000000-1</unique-id>
	<command>my-tool %F</command>
	<other-files/>
</action>
</actions>
<!-- kept -->
EOF
cp "$uca" "$work/own-before"
check "a user's own file: run succeeds" helper "$home"
check_equal "their action is kept" 1 "$(count_of "<unique-id>1700000000000000-1</unique-id>" "$uca")"
check_equal "ours is added once" 1 "$(count_of "rawlift-extract-jpeg-previews" "$uca")"
check_equal "what follows the list is kept" "<!-- kept -->" "$(tail -n 1 "$uca")"
check "the result is well-formed" well_formed "$uca"
backups=("$home/.config/Thunar/uca.xml.before-rawlift-"*)
check_equal "one backup" 1 "${#backups[@]}"
check "the backup is the file as it was" cmp -s "${backups[0]}" "$work/own-before"
cp "$uca" "$work/own-after"
check "again: run succeeds" helper "$home"
check "again: unchanged" cmp -s "$uca" "$work/own-after"
backups=("$home/.config/Thunar/uca.xml.before-rawlift-"*)
check_equal "again: still one backup" 1 "${#backups[@]}"

# Removal: ours goes, theirs and what follows the list stay, after a backup;
# a second removal changes nothing.
remover() {
  env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$1" "$wrapper" --remove-user-actions
}
check "removal succeeds" remover "$home"
check_equal "removal: ours is gone" 0 "$(count_of "rawlift-extract-jpeg-previews" "$uca")"
check_equal "removal: their action is kept" 1 "$(count_of "<unique-id>1700000000000000-1</unique-id>" "$uca")"
check "removal: the file is as it was before ours was added" cmp -s "$uca" "$work/own-before"
check_equal "removal: one backup of it" 1 \
  "$(ls "$home/.config/Thunar" | grep -c '^uca.xml.before-rawlift-removal-')"
check "removal: the Nautilus link is gone" test ! -e "$home/.local/share/nautilus/scripts/Extract JPEG previews"
cp "$uca" "$work/own-removed"
check "removal again succeeds" remover "$home"
check "removal again: unchanged" cmp -s "$uca" "$work/own-removed"
# Guards: an action of ours that Thunar's own editor laid out on one line
# (or any layout the line-wise removal cannot see) half removed, leaving a
# broken list.
home="$work/one-line"
mkdir -p "$home/.config/Thunar"
printf '<actions><action><unique-id>rawlift-extract-jpeg-previews</unique-id></action></actions>\n' \
  >"$home/.config/Thunar/uca.xml"
cp "$home/.config/Thunar/uca.xml" "$work/one-line-before"
remover "$home" >/dev/null 2>&1
check_equal "unusual layout: exit status 1" 1 "$?"
check "unusual layout: left unchanged" cmp -s "$home/.config/Thunar/uca.xml" "$work/one-line-before"

# No system default at all: a new list with our action alone.
home="$work/bare"
rm -rf "$work/xdg"
check "without a system default: run succeeds" helper "$home"
check "a new list is well-formed" well_formed "$home/.config/Thunar/uca.xml"
check_equal "holding our action" 1 \
  "$(count_of "rawlift-extract-jpeg-previews" "$home/.config/Thunar/uca.xml")"

# Guards: a file of the user's under the script's name replaced, and a
# uca.xml that is not an action list overwritten.
home="$work/taken"
mkdir -p "$home/.local/share/nautilus/scripts" "$home/.config/Thunar"
echo "theirs" >"$home/.local/share/nautilus/scripts/Extract JPEG previews"
echo "not a list" >"$home/.config/Thunar/uca.xml"
env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$home" "$wrapper" --install-user-actions >/dev/null 2>&1
check_equal "conflicts: exit status 1" 1 "$?"
check_equal "conflicts: their script is untouched" "theirs" \
  "$(cat "$home/.local/share/nautilus/scripts/Extract JPEG previews")"
check_equal "conflicts: their uca.xml is untouched" "not a list" "$(cat "$home/.config/Thunar/uca.xml")"

# A uca.xml that is a symbolic link (a dotfiles set-up): written through to
# its target, the link kept; a link to no file is refused, nothing changed.
# Guards: the link cut and replaced by a plain file.
home="$work/dotfiles-user"
mkdir -p "$home/dotfiles" "$home/.config/Thunar"
printf '<?xml version="1.0" encoding="UTF-8"?>\n<actions>\n</actions>\n' >"$home/dotfiles/uca.xml"
ln -s ../../dotfiles/uca.xml "$home/.config/Thunar/uca.xml"
check "linked uca.xml: install succeeds" helper "$home"
check "linked uca.xml: still a link" test -L "$home/.config/Thunar/uca.xml"
check_equal "linked uca.xml: the target holds our action" 1 \
  "$(count_of "<unique-id>rawlift-extract-jpeg-previews</unique-id>" "$home/dotfiles/uca.xml")"
check "linked uca.xml: removal succeeds" remover "$home"
check "linked uca.xml: a link after removal" test -L "$home/.config/Thunar/uca.xml"
check_equal "linked uca.xml: the target without our action" 0 \
  "$(count_of "<unique-id>rawlift-extract-jpeg-previews</unique-id>" "$home/dotfiles/uca.xml")"
home="$work/dangling-user"
mkdir -p "$home/.config/Thunar"
ln -s ../../nowhere/uca.xml "$home/.config/Thunar/uca.xml"
helper "$home" >/dev/null 2>"$work/dangling-err"
check_equal "link to no file: refused" 1 "$?"
check "link to no file: says so" grep -q "is a link to no file; left unchanged" "$work/dangling-err"
check "link to no file: the link kept" test -L "$home/.config/Thunar/uca.xml"
check "link to no file: nothing made at its target" test ! -e "$home/nowhere"

finish
