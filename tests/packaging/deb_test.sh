#!/usr/bin/env bash
# The Debian package and the installed layout:
#   deb_test.sh BUILD_DIR VERSION MAKE_DEMO_FOLDER
# Builds the package with cpack into a scratch folder, checks its control
# fields and contents, that every library the packaged rawlift links is
# covered by a declared dependency, installs it into a scratch root with its
# own dpkg database, runs it there over a demo folder, lets apt resolve its
# dependencies (simulated), purges it, and checks `cmake --install` with a
# prefix and with DESTDIR. Exit 77 (skip) without cpack or the dpkg tools.
set -euo pipefail
if (($# != 3)); then
  echo "usage: $0 BUILD_DIR VERSION MAKE_DEMO_FOLDER" >&2
  exit 2
fi
build=$1
version=$2
make_demo_folder=$3
# The CMake that configured the build (ctest passes it), else the one on PATH.
cmake=${RAWLIFT_CMAKE:-cmake}
cpack=${RAWLIFT_CPACK:-cpack}

for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps dpkg-architecture readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/rawlift-deb-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# --- the package -------------------------------------------------------------
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
  {
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
  }
arch=$(dpkg --print-architecture)
deb=$scratch/pkg/rawlift_${version}_${arch}.deb
if [[ ! -f $deb ]]; then
  echo "FAIL: no $(basename "$deb"); cpack wrote:" >&2
  ls "$scratch/pkg" >&2
  exit 1
fi

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == rawlift ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', not $version"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
[[ $(field Section) == graphics ]] || fail "Section is '$(field Section)'"
depends=$(field Depends)
[[ $depends == *libjpeg62-turbo* ]] || fail "Depends lacks libjpeg62-turbo: $depends"
recommends=$(field Recommends)
for package in zenity libnotify-bin; do
  [[ $recommends == *"$package"* ]] || fail "Recommends lacks $package: $recommends"
done

# The files, as absolute paths (dpkg-deb lists ./usr/...; directories end in /).
# The archive's own list: names may hold spaces (the Nautilus script does).
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\.||' | grep -v '/$' | sort >"$scratch/deb.files"
for file in /usr/bin/rawlift /usr/share/man/man1/rawlift.1.gz \
  /usr/share/bash-completion/completions/rawlift /usr/share/doc/rawlift/README.md \
  /usr/libexec/rawlift/rawlift-extract-desktop /usr/share/nemo/actions/rawlift-extract.nemo_action \
  /usr/share/kio/servicemenus/rawlift-extract.desktop /usr/share/rawlift/thunar-uca-action.xml \
  "/usr/share/rawlift/nautilus-scripts/Extract JPEG previews" /usr/share/thumbnailers/rawlift.thumbnailer; do
  grep -qxF "$file" "$scratch/deb.files" || fail "the package lacks $file"
done
# Guards against test programs, fixtures, benches or GoogleTest's own install
# rules leaking into what is installed.
if grep -E '(_test|test_|/tests?/|bench|fixture|gtest|gmock|fuzz|make_demo|make_corpus|/include/|\.a$|/cmake/)' \
  "$scratch/deb.files"; then
  fail "the package holds test, bench or development files (above)"
fi

# Every library the packaged rawlift needs comes from a package it depends on.
mkdir "$scratch/unpacked"
dpkg-deb -x "$deb" "$scratch/unpacked"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
depends_names=" $(printf '%s\n' "$depends" | tr ',|' '\n' | awk '{ print $1 }' | tr '\n' ' ') "
# Guards: debug information shipped in the package.
if readelf -S "$scratch/unpacked/usr/bin/rawlift" | grep -q '\.debug_'; then
  fail "the packaged rawlift carries debug information (not stripped)"
fi
# The thumbnailer runs the packaged binary by its absolute path.
grep -qxF 'Exec="/usr/bin/rawlift" thumbnail -s %s %i %o' \
  "$scratch/unpacked/usr/share/thumbnailers/rawlift.thumbnailer" ||
  fail "the packaged thumbnailer does not run /usr/bin/rawlift"
needed=$(readelf -d "$scratch/unpacked/usr/bin/rawlift" | awk '/\(NEEDED\)/ { gsub(/[][]/, "", $NF); print $NF }')
[[ -n $needed ]] || fail "readelf found no NEEDED libraries in rawlift"
for library in $needed; do
  owner=$(dpkg -S "*/$multiarch/$library" 2>/dev/null | awk -F': ' -v arch=":$arch" '
    { split($1, names, ", "); for (i in names) if (names[i] ~ arch "$") { sub(arch "$", "", names[i]); print names[i]; exit } }')
  if [[ -z $owner ]]; then
    fail "no installed package owns $library"
  elif [[ $depends_names != *" $owner "* ]]; then
    fail "rawlift needs $library from $owner, which Depends ($depends) does not name"
  fi
done

# --- installed into a scratch root -------------------------------------------
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status"
(cd "$root" && find . | sort) >"$scratch/root.before"
dpkg_root() {
  dpkg --root="$root" --force-not-root --log="$scratch/dpkg.log" "$@" >"$scratch/dpkg.out" 2>&1 ||
    {
      cat "$scratch/dpkg.out" >&2
      return 1
    }
}
# The empty database has none of the dependencies: they are checked above.
if dpkg_root --force-depends --install "$deb"; then
  [[ $(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' rawlift) == "install ok installed" ]] ||
    fail "dpkg does not list rawlift as installed in the scratch root"
  installed_version=$("$root/usr/bin/rawlift" --version) || fail "the installed rawlift --version failed"
  [[ $installed_version == "rawlift $version" ]] || fail "installed rawlift --version says '$installed_version'"

  "$make_demo_folder" "$scratch/demo" >/dev/null
  set +e
  summary=$("$root/usr/bin/rawlift" extract --jobs 1 "$scratch/demo" 2>"$scratch/extract.err")
  status=$?
  set -e
  [[ $status -eq 0 ]] || fail "the installed rawlift extract exited $status: $(cat "$scratch/extract.err")"
  new=$(printf '%s\n' "$summary" | sed -n 's/^JPEGs Extracted: [0-9]* Total - \([0-9]*\) New$/\1/p')
  written=$(find "$scratch/demo/extracted_jpegs" -name '*.jpg' 2>/dev/null | wc -l)
  if [[ -z $new || $new -eq 0 || $new -ne $written ]]; then
    fail "the installed rawlift extract wrote $written JPEGs; its summary: $summary"
  fi

  dpkg_root --purge rawlift || fail "dpkg --purge rawlift"
  (cd "$root" && find . | sort | grep -v -e '^\./var/lib/dpkg/' -e '^\./var/log/') >"$scratch/root.after"
  grep -v -e '^\./var/lib/dpkg/' -e '^\./var/log/' "$scratch/root.before" >"$scratch/root.before.kept"
  if ! diff -u "$scratch/root.before.kept" "$scratch/root.after"; then
    fail "the purge left files behind (above)"
  fi
else
  fail "dpkg --install into the scratch root"
fi

# apt resolves the declared dependencies on this machine (a simulation).
if command -v apt-get >/dev/null; then
  if ! apt-get install --simulate -q "$deb" >"$scratch/apt.out" 2>&1 ||
    ! grep -q '^Inst rawlift ' "$scratch/apt.out"; then
    cat "$scratch/apt.out" >&2
    fail "apt-get cannot resolve the package's dependencies"
  fi
else
  echo "apt-get absent: dependency resolution not checked"
fi

# --- cmake --install -----------------------------------------------------------
# With DESTDIR, every file goes below it, and exactly the package's files.
DESTDIR=$scratch/destdir "$cmake" --install "$build" --prefix /usr >"$scratch/install.log"
if grep '^-- Installing: ' "$scratch/install.log" | grep -v "^-- Installing: $scratch/destdir/usr/"; then
  fail "cmake --install wrote outside DESTDIR (above)"
fi
(cd "$scratch/destdir" && find . ! -type d | sed -e 's|^\.||' | sort) >"$scratch/destdir.files"
diff -u "$scratch/deb.files" "$scratch/destdir.files" ||
  fail "cmake --install with DESTDIR and the package install different files (above)"
# With a prefix, the GNU layout below it.
"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in bin/rawlift share/man/man1/rawlift.1.gz share/bash-completion/completions/rawlift \
  share/doc/rawlift/README.md; do
  [[ -f $scratch/prefix/$file ]] || fail "cmake --install --prefix did not write $file"
done

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $(basename "$deb") checked"
