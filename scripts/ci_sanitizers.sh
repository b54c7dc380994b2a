#!/usr/bin/env bash
# Builds the module with AddressSanitizer + UndefinedBehaviorSanitizer (no
# recovery: the first report fails) and the test-only fault switch, then runs
# the whole test suite against it on the oldest and newest interpreters.
#
#   scripts/ci_sanitizers.sh            (MANILINK_SAN_PYTHONS="3.9 3.13")
#
# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it (LD_PRELOAD). CPython does not free everything at exit, so the one check
# switched off is the leak report at exit (ASAN_OPTIONS=detect_leaks=0); the
# module's leaks are covered by tests/test_reliability.py and
# scripts/ci_valgrind.sh. PYTHONMALLOC=malloc sends every object through
# ASan's allocator so that a reference released once too often is caught.
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
BUILD="$ROOT/build/sanitize"
PYTHONS="${MANILINK_SAN_PYTHONS:-3.9 3.13}"

need g++ g++
use_tools

first_python="$(python_for "${PYTHONS%% *}")"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
  -DMANILINK_WERROR=ON -DMANILINK_SANITIZE=ON -DMANILINK_FAULT_INJECTION=ON \
  -DPython_EXECUTABLE="$first_python"
ninja -C "$BUILD" manilink

status=0
for version in $PYTHONS; do
  python="$(python_for "$version")"
  venv="$BUILD/venv-$version"
  [[ -x "$venv/bin/python" ]] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    -r "$ROOT/tests/requirements.txt" hypothesis
  echo "== sanitizer suite on Python $version"
  # Run from the tests folder so that only the sanitized build is imported.
  (cd "$ROOT/tests" &&
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONMALLOC=malloc PYTHONPATH="$BUILD" MANILINK_REQUIRE_FAULT_INJECTION=1 \
    "$venv/bin/python" -m pytest -p no:cacheprovider -q "$ROOT/tests") || status=1
done
exit $status
