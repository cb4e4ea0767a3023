#!/usr/bin/env bash
# The man page and the bash completion against the --help texts they serve:
#   man_completion_test.sh RAWLIFT MAN_PAGE COMPLETION_SCRIPT
# Everything expected is read from `rawlift --help` and `rawlift COMMAND
# --help`, so a command or option added to the program without the page or
# the completion following fails here.
set -euo pipefail
if (($# != 3)); then
  echo "usage: $0 RAWLIFT MAN_PAGE COMPLETION_SCRIPT" >&2
  exit 2
fi
rawlift=$1
man_page=$2
# Absolute: the completion runs in a folder of its own.
completion=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/rawlift-man-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
normalized() { tr -s ' \n\t' '   ' | sed -e 's/^ //' -e 's/ $//'; }

mapfile -t commands < <("$rawlift" --help |
  awk '/^Commands:$/ { listing = 1; next } listing && /^[ ]*$/ { exit }
       listing && /^[ ]+[a-z][a-z0-9-]*[ ]+[^ ]/ { print $1 }')
((${#commands[@]} > 0)) || fail "no commands in the usage text"
for command in "${commands[@]}"; do
  "$rawlift" "$command" --help >"$scratch/help.$command"
done

# The options of a command's help, one per line: the option words of the
# terms of its indented lists ("  -o, --output OUT  ..." gives -o, --output),
# then a tab and the term's placeholder (OUT), if any.
options_of() {
  awk '/^[ ]+-/ {
         term = $0
         sub(/^[ ]+/, "", term)
         sub(/[ ][ ].*$/, "", term)
         n = split(term, words, /[, ]+/)
         placeholder = ""
         for (i = 1; i <= n; i++) if (words[i] !~ /^-/) placeholder = words[i]
         for (i = 1; i <= n; i++) if (words[i] ~ /^-/) print words[i] "\t" placeholder
       }' "$scratch/help.$1"
}

# --- the man page ---------------------------------------------------------
for command in "${commands[@]}"; do
  grep -qxF ".SS $command" "$man_page" || fail "the man page has no section for '$command'"
  # Every help text gives the command's exit codes (the man page's EXIT STATUS).
  grep -q '^Exit status:' "$scratch/help.$command" || fail "rawlift $command --help gives no 'Exit status:'"
done

# What the settings command reports as its file is where FILES says it is.
settings_file=$(XDG_CONFIG_HOME=$scratch/config "$rawlift" settings | sed -n 's/^settings file: \([^ ]*\).*/\1/p')
[[ $settings_file == "$scratch/config/"* ]] || fail "rawlift settings shows '$settings_file'"
relative=${settings_file#"$scratch/config/"}
default_file=$(env -u XDG_CONFIG_HOME HOME="$scratch/home" "$rawlift" settings |
  sed -n 's/^settings file: \([^ ]*\).*/\1/p')
[[ $default_file == "$scratch/home/.config/$relative" ]] ||
  fail "without XDG_CONFIG_HOME rawlift settings shows '$default_file'"

if command -v groff >/dev/null; then
  # Renders without a warning (-ww: all of them), as `man` would show it.
  groff -man -Tutf8 -ww -z "$man_page" 2>"$scratch/groff.err" || fail "groff failed on the man page"
  if [[ -s $scratch/groff.err ]]; then
    cat "$scratch/groff.err" >&2
    fail "groff warns about the man page (above)"
  fi
  # The text of every help line is in the page (words in the same order;
  # line breaks and spacing may differ). Lines far wider than any help line,
  # no hyphenation, plain characters.
  groff -man -Tascii -rLL=5000n -P-cbu "$man_page" 2>/dev/null | normalized >"$scratch/page.txt"
  grep -qF "XDG_CONFIG_HOME/$relative" "$scratch/page.txt" || fail "FILES does not name \$XDG_CONFIG_HOME/$relative"
  # shellcheck disable=SC2088 # the page names the folder with a tilde
  grep -qF "~/.config/$relative" "$scratch/page.txt" || fail "FILES does not name ~/.config/$relative"
  for command in "${commands[@]}" ""; do
    if [[ -n $command ]]; then
      help_file=$scratch/help.$command
    else
      help_file=$scratch/help
      "$rawlift" --help >"$help_file"
    fi
    # The page drops two prefixes: "Usage:" (SYNOPSIS) and "Exit status:" (EXIT
    # STATUS), and starts the commands' one-line summaries with a capital.
    while IFS= read -r line; do
      text=$(printf '%s' "$line" | sed -e 's/^Usage: //' -e 's/^Exit status: //' | normalized)
      [[ -z $text || $text == Commands: ]] && continue
      grep -qiF -- "$text" "$scratch/page.txt" || fail "the man page lacks '$text' (rawlift $command --help)"
    done <"$help_file"
  done
else
  echo "groff absent: rendering not checked"
fi

# --- the bash completion ----------------------------------------------------
# complete WORD...: what the completion offers for the last WORD (in the
# folder $scratch/files), one per line.
mkdir -p "$scratch/files/sub"
complete_words() {
  (cd "$scratch/files" && bash --norc --noprofile -c '
    source "$1" || exit 1
    registration=$(complete -p rawlift) || exit 1
    function=${registration#*-F }
    function=${function%% *}
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    "$function" rawlift "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" rawlift "$@")
}
offers() { # offers EXPECTED WORD... : EXPECTED is among the completions of WORD...
  local expected=$1
  shift
  local offered
  offered=$(complete_words "$@")
  grep -qxF -- "$expected" <<<"$offered"
}

for command in "${commands[@]}"; do
  offers "$command" "" || fail "the completion does not offer the command '$command'"
done

# The RAW files a folder contributes, from extract's help ("...end in one of
# RAF CRW ... (in any case)"): a file of each, in lower case, and one that is not.
endings=$(normalized <"$scratch/help.extract" | sed -n 's/.*end in one of \([A-Z0-9 ]*\) (in any case).*/\1/p')
[[ -n $endings ]] || fail "rawlift extract --help names no RAW file endings"
for ending in $endings; do
  : >"$scratch/files/shot.${ending,,}"
done
: >"$scratch/files/notes.txt"

for command in "${commands[@]}"; do
  while IFS=$'\t' read -r option placeholder; do
    offers "$option" "$command" "-" || fail "the completion of '$command' does not offer $option"
    [[ -z $placeholder ]] && continue
    case $placeholder in
      OUT | OUTPUT | FILE | PATH | DIR | FOLDER)
        offers notes.txt "$command" "$option" "" ||
          fail "the completion offers no file name after '$command $option'"
        ;;
      *)
        # A value, not a file: offering file names there means the completion
        # takes the option for a flag. Fixed values must be the help's.
        if offers notes.txt "$command" "$option" ""; then
          fail "the completion offers file names as the $placeholder of '$command $option'"
        fi
        description=$(awk -v option="$option" '
          /^[ ]+-/ { inside = (index($0, option " ") > 0 || index($0, option ",") > 0) }
          /^[^ ]/ { inside = 0 }
          inside' "$scratch/help.$command")
        for value in $(complete_words "$command" "$option" ""); do
          [[ $value =~ ^[0-9]+$ ]] && continue
          [[ $description == *"$value"* ]] ||
            fail "the completion offers '$value' for '$command $option', which its help does not name"
        done
        ;;
    esac
  done < <(options_of "$command")
done

# The other way: nothing the completion offers for a command's options is
# missing from its help. Guards: an option renamed or removed from the
# program but still offered to the user.
for command in "${commands[@]}"; do
  known=$(options_of "$command" | cut -f1)
  for offered_option in $(complete_words "$command" "-"); do
    [[ $offered_option == --help || $offered_option == -h ]] && continue
    grep -qxF -- "$offered_option" <<<"$known" ||
      fail "the completion offers '$offered_option' for '$command', which its help does not list"
  done
done

# Folders and RAW files as extract's operands, never other files.
extract_offers=$(complete_words extract "")
for ending in $endings; do
  grep -qxF "shot.${ending,,}" <<<"$extract_offers" || fail "extract's completion does not offer shot.${ending,,}"
done
grep -qxF sub <<<"$extract_offers" || fail "extract's completion does not offer the folder 'sub'"
if grep -qxF notes.txt <<<"$extract_offers"; then
  fail "extract's completion offers notes.txt, which extract ignores"
fi

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "man page and completion follow the --help texts of ${#commands[@]} commands"
