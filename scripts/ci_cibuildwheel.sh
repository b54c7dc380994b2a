#!/usr/bin/env bash
# The wheel builder's configuration ([tool.cibuildwheel] in pyproject.toml)
# selects exactly one cp39-abi3 build and the free-threaded cp314t and cp315t
# builds per platform and architecture, and each has a test command. Builds
# nothing: cibuildwheel only reads the configuration here (the builds need
# Docker, macOS and Windows runners).
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
# cp39 is the abi3 wheel; cp314t and cp315t the free-threaded ones.
each() {  # each SUFFIX...: the three builds of every platform suffix
  local suffix
  for suffix in "$@"; do echo "cp39-$suffix cp314t-$suffix cp315t-$suffix"; done
}
check linux $(each manylinux_x86_64 manylinux_aarch64 musllinux_x86_64 musllinux_aarch64)
check macos $(each macosx_x86_64 macosx_arm64)
check windows $(each win_amd64 win_arm64)

python - <<'PY'
try:
    import tomllib
except ImportError:  # before 3.11: cibuildwheel's own dependency
    import tomli as tomllib
config = tomllib.load(open("pyproject.toml", "rb"))["tool"]["cibuildwheel"]
assert "pytest" in config["test-command"] and "tests" in config["test-command"], config
assert "tests" in config["test-sources"], config
print("test command:", config["test-command"])
threaded = [o for o in config.get("overrides", []) if o["select"] == "cp3*t-*"]
assert threaded and "error::RuntimeWarning" in threaded[0]["test-command"], threaded
print("free-threaded test command:", threaded[0]["test-command"])
PY
echo "cibuildwheel configuration checked"
