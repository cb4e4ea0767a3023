#!/usr/bin/env bash
# The Debian packages and the installed layout:
#   deb_test.sh BUILD_DIR VERSION MAKE_DEMO_FOLDER
# Builds the packages (rawlift, librawlift1, librawlift-dev) with cpack into
# a scratch folder, checks their control fields and contents, that every
# library the packaged rawlift and librawlift link is covered by a declared
# dependency, installs them into a scratch root with its own dpkg database,
# runs rawlift there over a demo folder, builds a C program against the
# installed library with pkg-config and with CMake's find_package and runs
# it, lets apt resolve their dependencies (simulated), purges them, and
# checks `cmake --install` with a prefix and with DESTDIR. Exit 77 (skip)
# without cpack or the dpkg tools.
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

for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps dpkg-architecture readelf pkg-config cc; do
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

lib_deb=$scratch/pkg/librawlift1_${version}_${arch}.deb
dev_deb=$scratch/pkg/librawlift-dev_${version}_${arch}.deb
for package in "$lib_deb" "$dev_deb"; do
  [[ -f $package ]] || fail "no $(basename "$package"); cpack wrote: $(ls "$scratch/pkg" | tr '\n' ' ')"
done

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

# The library's two packages: the runtime alone in librawlift1 (with its
# shlibs entry and ldconfig run), everything to build against it in -dev.
libdir=$(sed -n 's|^libdir=\${prefix}/||p' "$build/lib/rawlift.pc")
files_of() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed -e 's|^\.||' | grep -v '/$' | sort; }
files_of "$lib_deb" >"$scratch/lib.files"
files_of "$dev_deb" >"$scratch/dev.files"
for file in /usr/$libdir/librawlift.so.1 /usr/$libdir/librawlift.so.$version; do
  grep -qxF "$file" "$scratch/lib.files" || fail "librawlift1 lacks $file"
done
[[ $(wc -l <"$scratch/lib.files") -eq 2 ]] || fail "librawlift1 holds more than the library: $(cat "$scratch/lib.files")"
for file in /usr/include/rawlift/rawlift.h /usr/$libdir/librawlift.so /usr/$libdir/pkgconfig/rawlift.pc \
  /usr/$libdir/cmake/Rawlift/RawliftConfig.cmake /usr/$libdir/cmake/Rawlift/RawliftConfigVersion.cmake; do
  grep -qxF "$file" "$scratch/dev.files" || fail "librawlift-dev lacks $file"
done
[[ $(dpkg-deb -f "$lib_deb" Section) == libs ]] || fail "librawlift1's Section is $(dpkg-deb -f "$lib_deb" Section)"
[[ $(dpkg-deb -f "$dev_deb" Depends) == "librawlift1 (= $version)" ]] ||
  fail "librawlift-dev Depends: $(dpkg-deb -f "$dev_deb" Depends)"
[[ $(dpkg-deb -I "$lib_deb" shlibs 2>/dev/null) == "librawlift 1 librawlift1 (>= $version)" ]] ||
  fail "librawlift1's shlibs: $(dpkg-deb -I "$lib_deb" shlibs 2>&1)"
dpkg-deb -I "$lib_deb" postinst 2>/dev/null | grep -qx $'\tldconfig' ||
  fail "librawlift1's postinst does not run ldconfig"

# Every library the packaged rawlift and librawlift need comes from a package
# each depends on.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
check_needed() { # PACKAGE_FILE BINARY_INSIDE
  local unpacked=$scratch/unpacked-$(basename "$1") package_depends names needed library owner
  mkdir -p "$unpacked"
  dpkg-deb -x "$1" "$unpacked"
  package_depends=$(dpkg-deb -f "$1" Depends)
  names=" $(printf '%s\n' "$package_depends" | tr ',|' '\n' | awk '{ print $1 }' | tr '\n' ' ') "
  needed=$(readelf -d "$unpacked/$2" | awk '/\(NEEDED\)/ { gsub(/[][]/, "", $NF); print $NF }')
  [[ -n $needed ]] || fail "readelf found no NEEDED libraries in $2"
  for library in $needed; do
    owner=$(dpkg -S "*/$multiarch/$library" 2>/dev/null | awk -F': ' -v arch=":$arch" '
      { split($1, names, ", "); for (i in names) if (names[i] ~ arch "$") { sub(arch "$", "", names[i]); print names[i]; exit } }')
    if [[ -z $owner ]]; then
      fail "no installed package owns $library"
    elif [[ $names != *" $owner "* ]]; then
      fail "$2 needs $library from $owner, which Depends ($package_depends) does not name"
    fi
  done
}
check_needed "$deb" usr/bin/rawlift
check_needed "$lib_deb" "usr/$libdir/librawlift.so.$version"

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

  # A program built against the installed library, found by pkg-config and
  # by CMake's find_package, runs over a demo file.
  cat >"$scratch/app.c" <<'C'
#include <rawlift/rawlift.h>
#include <stdio.h>
int main(int argc, char** argv) {
  rawlift_file* file = NULL;
  uint8_t* jpeg = NULL;
  size_t length = 0;
  if (argc != 2 || rawlift_open_path(argv[1], &file) != RAWLIFT_OK) return 2;
  int status = rawlift_get_jpeg(file, NULL, &jpeg, &length);
  printf("%d %zu\n", status, length);
  rawlift_free(jpeg);
  rawlift_close(file);
  return status;
}
C
  # The library's packages are unpacked rather than installed: their
  # maintainer scripts run ldconfig, which the scratch root cannot.
  dev_root=$scratch/dev-root
  dpkg-deb -x "$lib_deb" "$dev_root"
  dpkg-deb -x "$dev_deb" "$dev_root"
  raw=$(find "$scratch/demo" -maxdepth 1 -name '*.NEF' | sort | sed -n 1p)
  export PKG_CONFIG_PATH=$dev_root/usr/$libdir/pkgconfig
  if cc "$scratch/app.c" $(pkg-config --cflags --libs rawlift) -o "$scratch/app_pkg"; then
    LD_LIBRARY_PATH=$dev_root/usr/$libdir "$scratch/app_pkg" "$raw" >/dev/null ||
      fail "the program built with pkg-config failed on $(basename "$raw")"
  else
    fail "a program does not build with pkg-config --cflags --libs rawlift"
  fi
  [[ $(pkg-config --modversion rawlift) == "$version" ]] || fail "pkg-config --modversion rawlift"
  mkdir "$scratch/app_cmake"
  cp "$scratch/app.c" "$scratch/app_cmake/app.c"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.16)' 'project(app C)' \
    "find_package(Rawlift $version REQUIRED)" 'add_executable(app app.c)' \
    'target_link_libraries(app PRIVATE Rawlift::rawlift)' >"$scratch/app_cmake/CMakeLists.txt"
  if "$cmake" -S "$scratch/app_cmake" -B "$scratch/app_cmake/build" -DCMAKE_PREFIX_PATH="$dev_root/usr" \
    >"$scratch/app_cmake.log" 2>&1 && "$cmake" --build "$scratch/app_cmake/build" >>"$scratch/app_cmake.log" 2>&1; then
    LD_LIBRARY_PATH=$dev_root/usr/$libdir "$scratch/app_cmake/build/app" "$raw" >/dev/null ||
      fail "the program built with find_package(Rawlift) failed on $(basename "$raw")"
  else
    cat "$scratch/app_cmake.log" >&2
    fail "a program does not build with find_package(Rawlift)"
  fi
  unset PKG_CONFIG_PATH

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
  if ! apt-get install --simulate -q "$deb" "$lib_deb" "$dev_deb" >"$scratch/apt.out" 2>&1 ||
    ! grep -q '^Inst rawlift ' "$scratch/apt.out" || ! grep -q '^Inst librawlift-dev ' "$scratch/apt.out"; then
    cat "$scratch/apt.out" >&2
    fail "apt-get cannot resolve the package's dependencies"
  fi
else
  echo "apt-get absent: dependency resolution not checked"
fi

# --- cmake --install -----------------------------------------------------------
# With DESTDIR, every file goes below it, and exactly the packages' files.
DESTDIR=$scratch/destdir "$cmake" --install "$build" --prefix /usr >"$scratch/install.log"
if grep '^-- Installing: ' "$scratch/install.log" | grep -v "^-- Installing: $scratch/destdir/usr/"; then
  fail "cmake --install wrote outside DESTDIR (above)"
fi
(cd "$scratch/destdir" && find . ! -type d | sed -e 's|^\.||' | sort) >"$scratch/destdir.files"
sort "$scratch/deb.files" "$scratch/lib.files" "$scratch/dev.files" >"$scratch/packages.files"
diff -u "$scratch/packages.files" "$scratch/destdir.files" ||
  fail "cmake --install with DESTDIR and the packages install different files (above)"
# With a prefix, the GNU layout below it.
"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in bin/rawlift share/man/man1/rawlift.1.gz share/bash-completion/completions/rawlift \
  share/doc/rawlift/README.md include/rawlift/rawlift.h "$libdir/librawlift.so.1" \
  "$libdir/pkgconfig/rawlift.pc"; do
  [[ -f $scratch/prefix/$file ]] || fail "cmake --install --prefix did not write $file"
done

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $(basename "$deb") checked"
