#!/usr/bin/env bash
# Typing checks, run in CI: build the wheel, install it (module and stubs)
# into a venv per interpreter, compare the stubs with the built module using
# mypy's stubtest, then type-check examples/ and stubs/check_usage.py with
# mypy --strict. Runs on the oldest and the newest supported CPython.
#
#     bash scripts/ci_typing.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/typing
VERSIONS=${MANILINK_TYPING_VERSIONS:-"3.9 3.13"}

# The interpreter for major.minor $1: python3.N on PATH, else a pyenv version.
find_python() {
  local want=$1 candidate
  for candidate in "$(command -v "python$want" 2>/dev/null || true)" \
      $(command -v pyenv >/dev/null && pyenv versions --bare 2>/dev/null \
        | grep -E "^$want(\.[0-9]+)?$" | sed "s|^|$(pyenv root 2>/dev/null)/versions/|; s|$|/bin/python3|")
  do
    if [ -n "$candidate" ] && [ -x "$candidate" ] && \
       [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$want" ]; then
      echo "$candidate"; return 0
    fi
  done
  return 1
}

rm -rf "$WORK/dist"
python3 -m pip wheel -q --no-deps -w "$WORK/dist" "$ROOT"
WHEEL=$(ls "$WORK"/dist/manilink-*-cp39-abi3-*.whl)

for version in $VERSIONS; do
  python=$(find_python "$version") || { echo "CPython $version not found" >&2; exit 1; }
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
