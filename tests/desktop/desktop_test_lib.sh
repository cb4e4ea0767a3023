# Shared by the desktop tests: checks that count failures, and stand-ins for
# the desktop's programs.

failures=0
skipped=""

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}

check_equal() {
  if [[ $2 == "$3" ]]; then
    echo "ok: $1"
  else
    printf 'FAILED: %s\n  expected: %q\n  got:      %q\n' "$1" "$2" "$3" >&2
    failures=$((failures + 1))
  fi
}

# Exit status: 1 when a check failed, 77 (skipped) when a tool was missing.
finish() {
  if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  if [[ -n $skipped ]]; then
    echo "SKIPPED in part: $skipped"
    exit 77
  fi
  exit 0
}

# A folder of stand-ins, put first in PATH by the tests: notify-send appends
# its arguments, each ended by a NUL, to $NOTIFY_RECORD (and fails when
# $NOTIFY_FAILS is set, like a session without a notification service).
stand_in_bin() {
  mkdir -p "$1"
  cat >"$1/notify-send" <<'STUB'
#!/usr/bin/env bash
[[ -n ${NOTIFY_FAILS:-} ]] && exit 1
[[ -n ${NOTIFY_RECORD:-} ]] && printf '%s\0' "$@" >>"$NOTIFY_RECORD"
exit 0
STUB
  chmod +x "$1/notify-send"
}

# The arguments recorded by a stand-in, one per line, as text.
recorded() {
  [[ -f $1 ]] && tr '\0' '\n' <"$1"
}
