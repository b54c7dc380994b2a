#!/usr/bin/env bash
# Smoke run of the benchmark suite with tiny loop counts: proves that it still
# runs (floor extension builds, every contender agrees, every table prints),
# not how fast anything is. Builds the wheel and installs it, with the peers,
# into its own venv under build/.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
VENV="$ROOT/build/bench-venv"
DIST="$ROOT/build/bench-dist"
PIP=(-m pip --disable-pip-version-check -q)

[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
"$VENV/bin/python" "${PIP[@]}" install requests

rm -rf "$DIST"
"$VENV/bin/python" "${PIP[@]}" wheel --no-deps -w "$DIST" "$ROOT"
"$VENV/bin/python" "${PIP[@]}" install --force-reinstall --no-deps "$DIST"/manilink-*.whl

# Run outside the checkout's root so that only the installed module is found.
cd "$ROOT/build"
"$VENV/bin/python" "$ROOT/benchmarks/run.py" --quick --json "$ROOT/build/bench-smoke.json"
echo "benchmark smoke run passed"
