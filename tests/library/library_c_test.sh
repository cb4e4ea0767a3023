#!/usr/bin/env bash
# The shared library as a C program sees it:
#   library_c_test.sh LIBRARY INCLUDE_DIR README MAKE_DEMO_FOLDER
# - only rawlift_* symbols are exported (nm -D), every call of the header
#   among them, and the SONAME is librawlift.so.1;
# - the header compiles as strict C99 and as C++ without warnings;
# - the README's C example compiles against the built library and, run over
#   the demo folder, writes each extractable file's preview byte for byte as
#   the library gives it and reports the others.
# Exit 77 (skip) without nm, readelf or a C compiler.
set -euo pipefail
if (($# != 4)); then
  echo "usage: $0 LIBRARY INCLUDE_DIR README MAKE_DEMO_FOLDER" >&2
  exit 2
fi
library=$1
include=$2
readme=$3
make_demo_folder=$4
cc=${CC:-cc}
for tool in nm readelf "$cc" c++; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/rawlift-library-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# --- exported symbols ----------------------------------------------------------
# Guards against engine, imaging or C++ runtime symbols leaking into the ABI
# (they would clash with the host program's own libjpeg or C++ code).
nm -D --defined-only "$library" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort >"$scratch/exported"
if grep -v '^rawlift_' "$scratch/exported"; then
  fail "symbols other than rawlift_* are exported (above)"
fi
# Every call the header declares is exported (Windows-only calls aside).
sed -n 's/^RAWLIFT_API [^(]*[ *]\(rawlift_[a-z_]*\)(.*/\1/p' "$include/rawlift/rawlift.h" |
  grep -v '_w$' | sort >"$scratch/declared"
[[ -s $scratch/declared ]] || fail "no calls found in the header"
comm -23 "$scratch/declared" "$scratch/exported" >"$scratch/missing"
[[ ! -s $scratch/missing ]] || fail "declared but not exported: $(tr '\n' ' ' <"$scratch/missing")"
comm -13 "$scratch/declared" "$scratch/exported" >"$scratch/undeclared"
[[ ! -s $scratch/undeclared ]] || fail "exported but not declared: $(tr '\n' ' ' <"$scratch/undeclared")"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == librawlift.so.1 ]] || fail "SONAME is '$soname'"

# --- the header alone ----------------------------------------------------------
printf '#include <rawlift/rawlift.h>\nint main(void) { return rawlift_version(0) > 0 ? 0 : 1; }\n' >"$scratch/header.c"
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror -I"$include" -c "$scratch/header.c" -o "$scratch/header_c.o" ||
  fail "the header does not compile as C99"
c++ -x c++ -std=c++11 -Wall -Wextra -pedantic -Werror -I"$include" -c "$scratch/header.c" \
  -o "$scratch/header_cxx.o" || fail "the header does not compile as C++"

# --- the README's example ---------------------------------------------------------
awk '/^## Library/ { in_section = 1 } in_section && /^```c$/ { code = 1; next }
     code && /^```$/ { exit } code { print }' "$readme" >"$scratch/example.c"
[[ -s $scratch/example.c ]] || fail "no C example in the README's Library section"
libdir=$(dirname "$library")
if "$cc" -std=c99 -Wall -Wextra -Werror -I"$include" "$scratch/example.c" -L"$libdir" -lrawlift \
  -Wl,-rpath,"$libdir" -o "$scratch/example"; then
  "$make_demo_folder" "$scratch/demo" >/dev/null
  extracted=0
  for raw in "$scratch"/demo/*; do
    [[ -f $raw ]] || continue
    set +e
    "$scratch/example" "$raw" "$scratch/out.jpg" >"$scratch/example.out" 2>"$scratch/example.err"
    status=$?
    set -e
    if ((status == 0)); then
      extracted=$((extracted + 1))
      [[ $(head -c 2 "$scratch/out.jpg" | od -An -tx1 | tr -d ' ') == ffd8 ]] ||
        fail "the example wrote no JPEG for $(basename "$raw")"
      grep -q 'embedded images' "$scratch/example.out" ||
        fail "the example told no camera for $(basename "$raw"): $(cat "$scratch/example.out")"
      grep -Eq '^thumbnail [0-9]+x[0-9]+$' "$scratch/example.out" ||
        fail "the example made no thumbnail of $(basename "$raw"): $(cat "$scratch/example.out")"
    elif ((status == 1)); then
      grep -q 'no extractable JPEG preview' "$scratch/example.err" ||
        fail "the example failed on $(basename "$raw"): $(cat "$scratch/example.err")"
    else
      fail "the example exited $status on $(basename "$raw")"
    fi
    rm -f "$scratch/out.jpg"
  done
  ((extracted > 0)) || fail "the example extracted nothing from the demo folder"
else
  fail "the README's C example does not compile"
fi

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "library symbols, header and README example checked"
