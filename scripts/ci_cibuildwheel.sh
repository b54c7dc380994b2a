#!/usr/bin/env bash
# The wheel builder's configuration ([tool.cibuildwheel] in pyproject.toml)
# selects exactly one cp39-abi3 build per platform and architecture, and each
# has a test command. Builds nothing: cibuildwheel only reads the
# configuration here (the builds need Docker, macOS and Windows runners).
#
#   scripts/ci_cibuildwheel.sh
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
use_tools
cd "$ROOT"
python -m pip show cibuildwheel | grep -i "^version"

check() {  # check PLATFORM IDENTIFIER...
  local platform=$1; shift
  local got want
  got="$(cibuildwheel --print-build-identifiers --platform "$platform" | sort)"
  want="$(printf '%s\n' "$@" | sort)"
  echo "== $platform:" $got
  if [ "$got" != "$want" ]; then
    echo "cibuildwheel selects for $platform:" $got "; expected:" $want >&2
    return 1
  fi
}
check linux cp39-manylinux_x86_64 cp39-manylinux_aarch64 cp39-musllinux_x86_64 \
  cp39-musllinux_aarch64
check macos cp39-macosx_x86_64 cp39-macosx_arm64
check windows cp39-win_amd64 cp39-win_arm64

python - <<'PY'
try:
    import tomllib
except ImportError:  # before 3.11: cibuildwheel's own dependency
    import tomli as tomllib
config = tomllib.load(open("pyproject.toml", "rb"))["tool"]["cibuildwheel"]
assert "pytest" in config["test-command"] and "tests" in config["test-command"], config
assert "tests" in config["test-sources"], config
print("test command:", config["test-command"])
PY
echo "cibuildwheel configuration checked"
