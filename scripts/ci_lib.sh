# Sourced by the ci_*.sh scripts. Under the CI driver (python scripts/test_all.py
# --ci) the interpreters, the tools venv and the wheel come through the
# environment: MANILINK_PYTHON_3_N, MANILINK_TOOLS, MANILINK_WHEEL and
# MANILINK_SDIST. A script run alone asks the driver for each, so that
# interpreters are found by one rule and the wheel is built one way.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DRIVER=(python3 "$ROOT/scripts/test_all.py")

# The host interpreter for major.minor $1.
python_for() {
  local var="MANILINK_PYTHON_${1//./_}"
  if [ -n "${!var:-}" ]; then echo "${!var}"; else "${DRIVER[@]}" --find "$1"; fi
}

# Puts the tools venv (cmake, ninja, build, twine, auditwheel, ...) first on PATH.
use_tools() {
  if [ -z "${MANILINK_TOOLS:-}" ]; then
    MANILINK_TOOLS="$("${DRIVER[@]}" --tools | tail -1)"
  fi
  export MANILINK_TOOLS PATH="$MANILINK_TOOLS:$PATH"
}

# Sets WHEEL and SDIST, building both into build/dist when not given.
use_wheel() {
  if [ -z "${MANILINK_WHEEL:-}" ]; then
    use_tools
    "${DRIVER[@]}" --build-only >&2
    MANILINK_WHEEL="$(ls "$ROOT"/build/dist/manilink-*.whl)"
    MANILINK_SDIST="$(ls "$ROOT"/build/dist/manilink-*.tar.gz)"
  fi
  WHEEL=$MANILINK_WHEEL SDIST=${MANILINK_SDIST:-}
}

# Installs Debian packages (apt-get update first) when a command is missing.
need() {  # need COMMAND PACKAGE...
  local command=$1; shift
  if ! command -v "$command" >/dev/null; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
  fi
}
