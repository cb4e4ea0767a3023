#!/usr/bin/env bash
# The build's Authenticode signatures, checked by osslsigncode:
#   signing_test.sh CERT_DIR FILE...
# Each file must carry one signature that verifies against the signing
# certificate (RAWLIFT_SIGN_CERT, or the build's throwaway one in CERT_DIR)
# and names its subject; a copy with one byte changed must fail to verify.
# Exit 77 (skipped) when the build does not sign.
set -uo pipefail

cert_dir=$1
shift
cert=${RAWLIFT_SIGN_CERT:-$cert_dir/cert.pem}
if ! command -v osslsigncode >/dev/null || [[ ! -s $cert ]]; then
  echo "SKIP: no osslsigncode or no signing certificate ($cert)"
  exit 77
fi
subject=$(openssl x509 -in "$cert" -noout -subject -nameopt compat | sed 's/^subject=//')
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

passed=0 failed=0
check() {  # check NAME CONDITION-RESULT
  if [[ $2 == 0 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; fi
}

for file in "$@"; do
  name=$(basename "$file")
  if [[ ! -f $file ]]; then
    check "$name: missing" 1
    continue
  fi
  report=$(osslsigncode verify -CAfile "$cert" -in "$file" 2>&1)
  check "$name: signature verifies" $?
  grep -q "^Number of verified signatures: 1$" <<<"$report"
  check "$name: exactly one signature" $?
  grep -qF "Subject: $subject" <<<"$report"
  check "$name: signed by $subject" $?
  grep -qi "sha256" <<<"$report"
  check "$name: SHA-256 digest" $?

  # Guards: a verification that passes whatever the file holds.
  copy=$scratch/$name
  cp "$file" "$copy"
  size=$(stat -c %s "$copy")
  at=$((size / 2))
  byte=$(od -An -tu1 -j "$at" -N1 "$copy" | tr -d ' ')
  printf "$(printf '\\%03o' $(((byte + 1) % 256)))" |
    dd of="$copy" bs=1 seek="$at" count=1 conv=notrunc status=none
  osslsigncode verify -CAfile "$cert" -in "$copy" >/dev/null 2>&1
  [[ $? -ne 0 ]]
  check "$name: a changed byte fails verification" $?
done

echo "$passed passed, $failed failed"
((failed == 0))
