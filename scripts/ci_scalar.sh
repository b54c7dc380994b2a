#!/usr/bin/env bash
# The scalar build: the module configured with -DMANILINK_VECTORS=OFF (no
# vector instructions, the plain byte-wise paths only) and warnings fatal,
# then the whole test suite against it, on CPython 3.11.
#
#   scripts/ci_scalar.sh        (MANILINK_SCALAR_PYTHON=3.N for another)
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
BUILD="$ROOT/build/scalar"
PYTHON="$(python_for "${MANILINK_SCALAR_PYTHON:-3.11}")"
use_tools

rm -f "$BUILD/CMakeCache.txt"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMANILINK_WERROR=ON \
  -DMANILINK_VECTORS=OFF -DPython_EXECUTABLE="$PYTHON"
# The switch must be an option of the build, not a variable nobody reads.
if grep -q MANILINK_VECTORS "$ROOT/CMakeLists.txt"; then
  grep -q '^MANILINK_VECTORS:BOOL=OFF$' "$BUILD/CMakeCache.txt" ||
    { echo "MANILINK_VECTORS is not a CMake option of this build" >&2; exit 1; }
else
  echo "note: CMakeLists.txt has no MANILINK_VECTORS option yet; this is the default build"
fi
ninja -C "$BUILD" manilink

[[ -x "$BUILD/venv/bin/python" ]] || "$PYTHON" -m venv "$BUILD/venv"
"$BUILD/venv/bin/python" -m pip install -q --disable-pip-version-check \
  -r "$ROOT/tests/requirements.txt"
echo "== the whole suite on the scalar build"
# Run from the tests folder so that only the scalar build is imported.
cd "$ROOT/tests"
PYTHONPATH="$BUILD" "$BUILD/venv/bin/python" -m pytest -p no:cacheprovider -q "$ROOT/tests"
