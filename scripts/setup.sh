#!/usr/bin/env bash
# Installs the Debian packages Rawlift needs to build and test, when missing.
# As root it runs apt-get; otherwise it prints the line to run.
#   scripts/setup.sh        everything: builds, tests, Windows, packaging
#   scripts/setup.sh run    only what building and running rawlift needs
set -euo pipefail

# Building rawlift and the demo folder maker (scripts/run.sh).
run_packages=(cmake ninja-build g++ libjpeg62-turbo-dev libpng-dev)
packages=(
  cmake ninja-build g++                     # native build
  libjpeg62-turbo-dev                       # libjpeg: reduced copies, fixtures and bench/ on Linux
  libpng-dev                                # the PNG encoder of `rawlift thumbnail`
  shared-mime-info                          # the MIME database the thumbnailer's type list is tested against
  libstb-dev                                # stb_image_resize, the resampler bench/ measures ours against
  libgtest-dev googletest                   # unit tests (googletest sources for the Windows build)
  libimage-exiftool-perl                    # the peer reader the metadata tests compare extracted Exif with
  g++-mingw-w64-x86-64-posix                # Windows cross build (windres comes with its binutils)
  wine wine64 xvfb xauth                    # Windows tests; xvfb-run needs xauth
  wixl                                      # the Windows installer (MSI) of the Windows build
  msitools                                  # msiinfo: the installer tests read the MSI's tables
  osslsigncode openssl                      # Authenticode signatures of the DLL, exe, MSI and .msix package (sign.sh; the package needs osslsigncode 2.6+)
  clang-14 libclang-rt-14-dev               # libFuzzer and its sanitizer runtimes (scripts/fuzz.sh)
  python3-dev python3-setuptools python3-wheel python3-pip  # the Python module: built and installed offline by pip
  python3-pytest python3-pil                # the Python module's tests (PIL: its image())
  pkgconf                                   # the package test builds against librawlift-dev with pkg-config
  dpkg-dev groff-base                       # the Debian package (dpkg-shlibdeps gives its Depends); man page check (groff)
  zenity desktop-file-utils libxml2-utils   # desktop actions' tests: the progress window, desktop-file-validate, xmllint
)
if [[ ${1:-} == run ]]; then
  packages=("${run_packages[@]}")
elif [[ "${RAWLIFT_SETUP_EXTRA:-}" == *bench* ]]; then
  # libgdk-pixbuf2.0-bin: gdk-pixbuf-thumbnailer, GNOME's own thumbnailer for JPEG files
  packages+=(exiv2 libvips-tools imagemagick strace libgdk-pixbuf2.0-bin)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
