# bash completion for rawlift                                 -*- shell-script -*-
# Installed as share/bash-completion/completions/rawlift; bash-completion
# loads it the first time rawlift is completed. Self-contained: it needs none
# of bash-completion's helpers.

# The name endings that make a file a RAW file for `rawlift extract` (any case).
_rawlift_raw_endings="RAF CRW CR2 CR3 KDC DCR MRW NEF NRW ORF ORI DNG PTX PEF ARW SRF SR2 SRW RW2 RWL X3F ERF MOS IIQ RAW"

# Offers the words of $1 that start with $cur.
_rawlift_words() {
  local words
  mapfile -t words < <(compgen -W "$1" -- "$cur")
  COMPREPLY+=("${words[@]}")
}

# Offers file names (folders too, to walk into). With "raw", only the files
# whose names end as a RAW file's do.
_rawlift_files() {
  local name upper ending kept names
  compopt -o filenames 2>/dev/null
  mapfile -t names < <(compgen -f -- "$cur")
  for name in "${names[@]}"; do
    kept=1
    if [[ $1 == raw && ! -d $name ]]; then
      kept=0
      upper=${name^^}
      for ending in $_rawlift_raw_endings; do
        if [[ $upper == *"$ending" ]]; then
          kept=1
          break
        fi
      done
    fi
    ((kept)) && COMPREPLY+=("$name")
  done
}

_rawlift() {
  COMPREPLY=()
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  # --name=VALUE: bash splits at "=" (COMP_WORDBREAKS), giving "--name" "=" "VALUE".
  if [[ $cur == = ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    cur=""
  elif [[ $prev == = ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  fi

  if ((COMP_CWORD == 1)); then
    _rawlift_words "extract settings identify preview thumbnail help version --help --version"
    return 0
  fi

  local command=${COMP_WORDS[1]}
  local shared="--native-only --smaller --max-width --max-height --suffix --no-suffix --metadata --save"
  local options operands
  case $command in
    extract)
      options="$shared -j --jobs --sync -r --recursive --converted -v --verbose --json --progress -h --help"
      operands=raw
      ;;
    settings)
      options="$shared -h --help"
      operands=none
      ;;
    identify)
      options="--json -h --help"
      operands=files
      ;;
    preview)
      options="-o --output -f --force --metadata --size --converted -h --help"
      operands=raw
      ;;
    thumbnail)
      options="-s --size -h --help"
      operands=files
      ;;
    *) return 0 ;;
  esac

  # The value of the option before the word being completed.
  case $prev in
    --metadata)
      _rawlift_words "compact complete"
      return 0
      ;;
    -o | --output)
      _rawlift_files all
      return 0
      ;;
    -s | --size)
      # The sizes of the shared thumbnail folders (normal, large, x-large, xx-large).
      _rawlift_words "128 256 512 1024"
      return 0
      ;;
    --max-width | --max-height | -j | --jobs)
      return 0  # a number
      ;;
  esac

  # After "--" every word is an operand.
  local i options_end=0
  for ((i = 2; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -- ]] && options_end=1
  done
  if ((!options_end)) && [[ $cur == -* ]]; then
    _rawlift_words "$options"
    return 0
  fi
  case $operands in
    raw) _rawlift_files raw ;;
    files) _rawlift_files all ;;
  esac
  return 0
}
complete -F _rawlift rawlift
