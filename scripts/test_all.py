"""Build the one abi3 wheel, then run the whole test suite against it on
every CPython 3.9+ this machine has (pyenv versions and python3.N on PATH).

    python scripts/test_all.py [--require 3.9,3.10,...] [pytest args...]
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
WHEEL_TAG = "cp39-abi3"


def run(command, **kwargs):
    print("+", " ".join(command), flush=True)
    return subprocess.run(command, check=False, **kwargs).returncode


def version_of(python):
    result = subprocess.run(
        [python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
        capture_output=True, text=True, check=False)
    return result.stdout.strip() if result.returncode == 0 else None


def find_interpreters():
    """Map 'major.minor' to an interpreter path, for CPython 3.9 and later."""
    candidates = []
    if shutil.which("pyenv"):
        listed = subprocess.run(["pyenv", "versions", "--bare"], capture_output=True,
                                text=True, check=False).stdout.split()
        for name in listed:
            prefix = subprocess.run(["pyenv", "prefix", name], capture_output=True,
                                    text=True, check=False).stdout.strip()
            if prefix:
                candidates.append(os.path.join(prefix, "bin", "python3"))
    for minor in range(9, 30):
        found = shutil.which("python3.%d" % minor)
        if found:
            candidates.append(found)
    found = {}
    for python in candidates:
        if not os.path.exists(python):
            continue
        version = version_of(python)
        if version and tuple(map(int, version.split("."))) >= (3, 9):
            found.setdefault(version, python)
    return dict(sorted(found.items(), key=lambda item: tuple(map(int, item[0].split(".")))))


def build_wheel():
    dist = os.path.join(BUILD, "dist")
    shutil.rmtree(dist, ignore_errors=True)
    if run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", dist, ROOT]) != 0:
        sys.exit("the wheel did not build")
    wheels = glob.glob(os.path.join(dist, "*.whl"))
    if len(wheels) != 1 or WHEEL_TAG not in os.path.basename(wheels[0]):
        sys.exit("expected exactly one %s wheel, found %s" % (WHEEL_TAG, wheels))
    return wheels[0]


def test_on(version, python, wheel, pytest_args):
    venv = os.path.join(BUILD, "venvs", "py" + version)
    if not os.path.exists(os.path.join(venv, "bin", "python")):
        if run([python, "-m", "venv", venv]) != 0:
            return False
    venv_python = os.path.join(venv, "bin", "python")
    pip = [venv_python, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    if run(pip + ["-r", os.path.join(ROOT, "tests", "requirements.txt")]) != 0:
        return False
    if run(pip + ["--force-reinstall", "--no-deps", wheel]) != 0:
        return False
    # Run from the tests folder so that only the installed module is found.
    return run([venv_python, "-m", "pytest", "-p", "no:cacheprovider", "-q",
                os.path.join(ROOT, "tests")] + pytest_args,
               cwd=os.path.join(ROOT, "tests")) == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--require", default="",
                        help="comma-separated versions that must be present, e.g. 3.9,3.13")
    options, pytest_args = parser.parse_known_args()
    interpreters = find_interpreters()
    missing = [v for v in options.require.split(",") if v and v not in interpreters]
    if missing:
        sys.exit("required interpreters not found: " + ", ".join(missing))
    if not interpreters:
        sys.exit("no CPython 3.9 or later found")
    print("interpreters:", ", ".join("%s (%s)" % item for item in interpreters.items()))
    wheel = build_wheel()
    failed = [v for v, python in interpreters.items()
              if not test_on(v, python, wheel, pytest_args)]
    print("failed on: " + ", ".join(failed) if failed else "all interpreters green")
    print("interpreters: %d passed, %d failed" % (len(interpreters) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
