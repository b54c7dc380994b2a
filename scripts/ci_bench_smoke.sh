#!/usr/bin/env bash
# Smoke run of the benchmark suite with tiny loop counts: proves that it still
# runs (floor extension builds, every contender agrees, every table prints),
# not how fast anything is. Installs the wheel, with the peers, into its own
# venv of CPython 3.11 under build/.
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
PYTHON=$(python_for "${MANILINK_BENCH_PYTHON:-3.11}")
VENV="$ROOT/build/bench-venv"
PIP=(-m pip --disable-pip-version-check -q)
use_wheel

[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
"$VENV/bin/python" "${PIP[@]}" install requests
"$VENV/bin/python" "${PIP[@]}" install --force-reinstall --no-deps "$WHEEL"

# Run outside the checkout's root so that only the installed module is found.
cd "$ROOT/build"
"$VENV/bin/python" "$ROOT/benchmarks/run.py" --quick --json "$ROOT/build/bench-smoke.json"
echo "benchmark smoke run passed"
