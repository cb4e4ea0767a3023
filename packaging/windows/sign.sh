#!/usr/bin/env bash
# Signs Windows files in place with Authenticode (osslsigncode): RididaViz.DLL,
# rawlift.exe, the MSI and the package (.msix) that gives them an identity.
#   sign.sh CERT_DIR FILE...
#   sign.sh --certificate CERT_DIR   prints the certificate signing uses
#                                    (the package's publisher is its subject)
# The certificate and key come from the environment:
#   RAWLIFT_SIGN_CERT       PEM certificate (chain) of the publisher
#   RAWLIFT_SIGN_KEY        PEM private key of that certificate
#   RAWLIFT_SIGN_KEY_PASS   file holding the key's password (optional)
#   RAWLIFT_SIGN_TIMESTAMP  URL of an RFC 3161 time-stamping service (optional)
# With neither RAWLIFT_SIGN_CERT nor RAWLIFT_SIGN_KEY set, a throwaway
# self-signed certificate is made once in CERT_DIR (cert.pem, key.pem) and
# used, so every build signs and its signatures can be checked; such a
# build is trusted only where that certificate is.
set -euo pipefail

mode=sign
if [[ ${1:-} == --certificate ]]; then
  mode=certificate
  shift
fi
if [[ $mode == sign && $# -lt 2 ]] || [[ $mode == certificate && $# -ne 1 ]]; then
  echo "usage: sign.sh CERT_DIR FILE... | sign.sh --certificate CERT_DIR" >&2
  exit 2
fi
cert_dir=$1
shift

cert=${RAWLIFT_SIGN_CERT:-}
key=${RAWLIFT_SIGN_KEY:-}
if [[ -n $cert || -n $key ]]; then
  # Half a pair is a mistake, not a reason to sign with something else.
  if [[ -z $cert || -z $key ]]; then
    echo "sign.sh: RAWLIFT_SIGN_CERT and RAWLIFT_SIGN_KEY must be given together" >&2
    exit 1
  fi
  for f in "$cert" "$key"; do
    [[ -r $f ]] || { echo "sign.sh: cannot read $f" >&2; exit 1; }
  done
else
  mkdir -p "$cert_dir"
  cert=$cert_dir/cert.pem
  key=$cert_dir/key.pem
  # Two files of one build may be signed at once: one of them makes the pair.
  exec 9>"$cert_dir/.lock"
  flock 9
  if [[ ! -s $cert || ! -s $key ]]; then
    openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 825 \
      -subj "/CN=Rawlift self-signed build/O=Rawlift" \
      -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
      -keyout "$key.tmp" -out "$cert.tmp" 2>/dev/null
    mv "$key.tmp" "$key"
    mv "$cert.tmp" "$cert"
  fi
  flock -u 9
fi
if [[ $mode == certificate ]]; then
  echo "$cert"
  exit 0
fi

# APPX/MSIX signing came with osslsigncode 2.6; PE and MSI signing is older.
# (A missing program fails the pipeline: that must reach the message below,
# not end the script silently.)
version=$(osslsigncode --version 2>/dev/null |
  sed -n '1s/^osslsigncode \([0-9][0-9]*\.[0-9][0-9]*\).*/\1/p') || version=
if [[ -z $version ]]; then
  echo "sign.sh: osslsigncode not found (Debian package osslsigncode)" >&2
  exit 1
fi
major=${version%%.*} minor=${version#*.}
signs_packages=yes
((major < 2 || (major == 2 && minor < 6))) && signs_packages=no

args=(-certs "$cert" -key "$key" -h sha256 -n "Rawlift")
[[ -n ${RAWLIFT_SIGN_KEY_PASS:-} ]] && args+=(-readpass "$RAWLIFT_SIGN_KEY_PASS")
[[ -n ${RAWLIFT_SIGN_TIMESTAMP:-} ]] && args+=(-ts "$RAWLIFT_SIGN_TIMESTAMP")
# With SOURCE_DATE_EPOCH the signing time is that time, so the same file
# signed twice is the same bytes: two packages of one build then hold the
# same file, which Windows Installer leaves alone when it is in use.
[[ -n ${SOURCE_DATE_EPOCH:-} ]] && args+=(-time "$SOURCE_DATE_EPOCH")

for file in "$@"; do
  [[ -f $file ]] || { echo "sign.sh: no file $file" >&2; exit 1; }
  case ${file,,} in
    *.msix | *.appx)
      if [[ $signs_packages == no ]]; then
        echo "sign.sh: osslsigncode $version cannot sign $file: APPX/MSIX signing needs" \
          "osslsigncode 2.6 or later (Debian 12's own archive has 2.5); without a signed" \
          "package Windows 11 does not list the command in its compact menu" >&2
        exit 1
      fi
      ;;
  esac
  # Written beside the file, then moved over it: a failed run leaves the
  # unsigned file whole rather than a half-written one.
  out=$file.signing
  rm -f "$out"
  if ! osslsigncode sign "${args[@]}" -in "$file" -out "$out" >/dev/null; then
    rm -f "$out"
    echo "sign.sh: signing $file failed" >&2
    exit 1
  fi
  mv -f "$out" "$file"
done
