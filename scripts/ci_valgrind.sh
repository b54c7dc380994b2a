#!/usr/bin/env bash
# Leak checks of the release build:
#  1. valgrind memcheck over a short workload (PYTHONMALLOC=malloc, so every
#     object is a malloc block): fails on any memory error in the module and
#     on any definitely, indirectly or possibly lost block whose allocation
#     stack passes through the module's calls. The state made once at import
#     (module dict, constants, function definitions), which lives until the
#     process ends by design, is listed but not counted;
#  2. the long stress run of tests/test_reliability.py (MANILINK_STRESS=1):
#     hundreds of thousands of calls through every outcome, resident memory
#     must settle, and 100 MiB hostile header values.
#
#   scripts/ci_valgrind.sh     (on CPython 3.11; MANILINK_VALGRIND_PYTHON=3.N for another)
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
BUILD="$ROOT/build/valgrind"
PYTHON="$(python_for "${MANILINK_VALGRIND_PYTHON:-3.11}")"

need valgrind valgrind
use_tools

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMANILINK_WERROR=ON \
  -DPython_EXECUTABLE="$PYTHON"
ninja -C "$BUILD" manilink
[[ -x "$BUILD/venv/bin/python" ]] || "$PYTHON" -m venv "$BUILD/venv"
"$BUILD/venv/bin/python" -m pip install -q --disable-pip-version-check -r "$ROOT/tests/requirements.txt"

echo "== valgrind memcheck"
log="$BUILD/memcheck.log"
PYTHONMALLOC=malloc PYTHONPATH="$BUILD" valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --num-callers=40 --log-file="$log" \
  "$BUILD/venv/bin/python" "$ROOT/fuzz/valgrind_workload.py"
"$BUILD/venv/bin/python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
lost = re.compile(r"(definitely|indirectly|possibly) lost in")
errors = re.compile(r"Invalid (read|write|free)|uninitialised|Mismatched free|overlap")
ours = [r for r in records if "manilink" in r]
startup = [r for r in ours if lost.search(r) and "PyInit_manilink" in r]
bad = [r for r in ours if errors.search(r) or (lost.search(r) and r not in startup)]
print("valgrind: %d block(s) of one-time start-up state" % sum(
    int(re.search(r"in (\d+) blocks?", r).group(1)) for r in startup))
for line in text.splitlines():
    if re.search(r"(definitely|indirectly|possibly) lost:|still reachable:|ERROR SUMMARY", line):
        print("valgrind:", line.split("== ", 1)[-1])
for record in bad:
    print(record)
print("valgrind: %d finding(s) attributed to the module" % len(bad))
sys.exit(1 if bad else 0)
PY

echo "== stress run"
(cd "$ROOT/tests" && MANILINK_STRESS=1 PYTHONPATH="$BUILD" "$BUILD/venv/bin/python" -m pytest \
  -p no:cacheprovider -q -s "$ROOT/tests/test_reliability.py" -k "stress or hostile or limit")
