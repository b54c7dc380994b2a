#!/usr/bin/env bash
# Typing checks, run in CI: install the wheel (module and stubs) into a venv
# per interpreter, compare the stubs with the built module using
# mypy's stubtest, then type-check examples/ and stubs/check_usage.py with
# mypy --strict. Runs on CPython 3.9 and 3.13, the oldest and the newest
# that this machine has outside a chroot.
#
#     bash scripts/ci_typing.sh
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
WORK=$ROOT/build/typing
VERSIONS=${MANILINK_TYPING_VERSIONS:-"3.9 3.13"}
use_wheel

for version in $VERSIONS; do
  python=$(python_for "$version")
  venv=$WORK/venv-$version
  echo "== CPython $version ($python)"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade mypy
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
  "$venv/bin/python" -m mypy --version
  # From an empty folder, so that only the installed module is imported.
  (cd "$WORK" && "$venv/bin/python" -m mypy.stubtest manilink \
     --allowlist "$ROOT/stubs/stubtest-allowlist.txt")
  "$venv/bin/python" -m mypy --strict --no-incremental \
     "$ROOT"/examples/*.py "$ROOT/stubs/check_usage.py"
done
echo "typing checks passed"
