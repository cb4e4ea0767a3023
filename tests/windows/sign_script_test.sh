#!/usr/bin/env bash
# packaging/windows/sign.sh against stand-ins for osslsigncode of several
# versions: what it signs, what it refuses and what it says when it does.
#   sign_script_test.sh SIGN_SCRIPT
# The stand-in prints the version asked of it and "signs" by copying. The
# certificate is the script's own throwaway one, made in a scratch folder.
set -uo pipefail
sign=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset RAWLIFT_SIGN_CERT RAWLIFT_SIGN_KEY RAWLIFT_SIGN_KEY_PASS RAWLIFT_SIGN_TIMESTAMP

mkdir -p "$scratch/bin"
cat >"$scratch/bin/osslsigncode" <<'STAND_IN'
#!/usr/bin/env bash
# FAKE_VERSION empty: behaves as a missing program.
[[ -n ${FAKE_VERSION:-} ]] || exit 127
if [[ $1 == --version ]]; then echo "osslsigncode $FAKE_VERSION, using:"; exit 0; fi
while (($#)); do
  case $1 in -in) in=$2; shift ;; -out) out=$2; shift ;; esac
  shift
done
cp "$in" "$out"
STAND_IN
chmod +x "$scratch/bin/osslsigncode"

failed=0 passed=0
# (osslsigncode version, file, exit status, words the error must hold)
cases=(
  # Guards: a package left unsigned without a word when osslsigncode is too old.
  "2.5|Rawlift.msix|1|needs osslsigncode 2.6 or later"
  "2.5|Rawlift.appx|1|needs osslsigncode 2.6 or later"
  "2.5|RididaViz.DLL|0|"
  "2.5|Rawlift-1.0.0-x64.msi|0|"
  "2.6|Rawlift.msix|0|"
  "2.9|Rawlift.MSIX|0|"
  "10.0|Rawlift.msix|0|"
  "1.7|rawlift.exe|0|"
  # Guards: a build that goes on as if signed without osslsigncode.
  "|RididaViz.DLL|1|osslsigncode not found"
)
for row in "${cases[@]}"; do
  IFS='|' read -r version name status words <<<"$row"
  file=$scratch/$name
  echo "content" >"$file"
  err=$(FAKE_VERSION=$version PATH="$scratch/bin:$PATH" bash "$sign" "$scratch/certs" "$file" 2>&1)
  got=$?
  if [[ $got != "$status" ]] || [[ -n $words && $err != *"$words"* ]]; then
    echo "FAIL: osslsigncode '$version', $name: exit $got ($err), expected $status '$words'"
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done

# The certificate the package's publisher is taken from: the one signing
# uses, made once.
first=$(bash "$sign" --certificate "$scratch/certs")
second=$(bash "$sign" --certificate "$scratch/certs")
if [[ $first == "$scratch/certs/cert.pem" && $first == "$second" && -s $first ]] &&
  openssl x509 -in "$first" -noout 2>/dev/null; then
  passed=$((passed + 1))
else
  echo "FAIL: --certificate printed '$first' then '$second'"
  failed=$((failed + 1))
fi
# Guards: a publisher taken from a certificate other than the signer's.
given=$(RAWLIFT_SIGN_CERT=$first RAWLIFT_SIGN_KEY=$scratch/certs/key.pem \
  bash "$sign" --certificate "$scratch/elsewhere")
if [[ $given == "$first" && ! -e $scratch/elsewhere/cert.pem ]]; then
  passed=$((passed + 1))
else
  echo "FAIL: --certificate with RAWLIFT_SIGN_CERT printed '$given'"
  failed=$((failed + 1))
fi
# Guards: half a pair taken as no pair (signing with a throwaway certificate).
if RAWLIFT_SIGN_CERT=$first bash "$sign" --certificate "$scratch/certs" >/dev/null 2>&1; then
  echo "FAIL: a certificate without its key was accepted"
  failed=$((failed + 1))
else
  passed=$((passed + 1))
fi

echo "$passed passed, $failed failed"
((failed == 0))
