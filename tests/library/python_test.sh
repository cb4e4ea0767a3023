#!/usr/bin/env bash
# The Python module as a user installs it:
#   python_test.sh SOURCE_DIR BUILD_DIR RAWLIFT MAKE_DEMO_FOLDER
# Installs python/ with pip, offline (--no-build-isolation --no-index, the
# README's way), against the built librawlift into a scratch folder; checks
# that the extension is on the stable ABI and that the type stubs ship; then
# runs python/tests with pytest over that install. Debian's python3
# (/usr/bin/python3, or RAWLIFT_PYTHON) with python3-dev, python3-setuptools,
# python3-wheel, python3-pytest and python3-pil. Exit 77 (skip) without them.
set -euo pipefail
if (($# != 4)); then
  echo "usage: $0 SOURCE_DIR BUILD_DIR RAWLIFT MAKE_DEMO_FOLDER" >&2
  exit 2
fi
source_dir=$1
build=$2
rawlift=$3
make_demo=$4
python=${RAWLIFT_PYTHON:-/usr/bin/python3}
if ! "$python" -c 'import setuptools, wheel, pytest, PIL, sysconfig, pip' 2>/dev/null ||
  [[ ! -f $("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h ]]; then
  echo "SKIP: $python lacks pip, setuptools, wheel, pytest, Pillow or its headers (scripts/setup.sh)"
  exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/rawlift-python-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# A copy of the sources: pip builds in the tree it is given.
mkdir "$scratch/src"
(cd "$source_dir/python" && tar -c --exclude=build --exclude='*.egg-info' --exclude=__pycache__ .) |
  tar -x -C "$scratch/src"
if ! RAWLIFT_INCLUDE_DIR=$source_dir/include RAWLIFT_LIBRARY_DIR=$build/lib PIP_NO_INPUT=1 \
  "$python" -m pip install --no-build-isolation --no-index --no-deps --disable-pip-version-check \
  --target "$scratch/site" "$scratch/src" >"$scratch/pip.log" 2>&1; then
  cat "$scratch/pip.log" >&2
  echo "FAIL: pip install of python/" >&2
  exit 1
fi
# One build for every Python 3 from 3.7 on: the stable ABI's name and tag.
[[ -f $scratch/site/rawlift/_rawlift.abi3.so ]] ||
  fail "the extension is not built for the stable ABI: $(ls "$scratch/site/rawlift")"
grep -q '^Tag: cp37-abi3-' "$scratch"/site/rawlift-*.dist-info/WHEEL ||
  fail "the wheel is not tagged cp37-abi3: $(grep '^Tag' "$scratch"/site/rawlift-*.dist-info/WHEEL)"
for file in __init__.pyi py.typed; do
  [[ -f $scratch/site/rawlift/$file ]] || fail "the install lacks rawlift/$file"
done

cd "$scratch"
set +e
PYTHONPATH=$scratch/site RAWLIFT_COMMAND=$rawlift RAWLIFT_MAKE_DEMO=$make_demo \
  RAWLIFT_SAMPLES_DIR=${RAWLIFT_SAMPLES_DIR:-} RAWLIFT_README=$source_dir/README.md \
  "$python" -m pytest -q -p no:cacheprovider "$source_dir/python/tests"
status=$?
set -e
((status == 0)) || fail "pytest exited $status"
if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
