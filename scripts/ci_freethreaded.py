"""The module on a free-threaded CPython (3.13t), built here from Debian's
python3.13 source package in the cached sid-ft chroot (debian_chroot.py).

  1. makes the chroot and CPython 3.13t when the cache lacks them (about
     12 minutes from nothing; nothing when cached);
  2. copies the source tree in and runs `pip install .` with 3.13t in a
     fresh venv, from a clean environment: a version-specific module without
     the limited API;
  3. checks that importing it leaves the GIL disabled and warns nothing;
  4. runs the whole suite with RuntimeWarning fatal (sub-interpreter tests
     skip, see tests/conftest.py), then the threaded tests again with more
     rounds;
  5. compiles the glue against the newest headers in the chroot (3.14, 3.15)
     with Py_GIL_DISABLED defined, warnings fatal;
  6. runs the threaded tests under ThreadSanitizer: a second CPython 3.13t
     built with --with-thread-sanitizer (cached beside the first, about 9
     minutes from nothing) and the module built with -fsanitize=thread; the
     first report fails the run (a race planted in encode_target was
     reported within the first test). CPython's own list of the races it
     knows of in itself is the one suppression list.

Needs root (the chroot). Standalone:

    python scripts/ci_freethreaded.py [--rounds N] [--tsan-rounds N] [--no-headers] [--no-tsan]
"""

import argparse
import glob
import os
import re
import shutil
import sys
import time

try:
    import tomllib
except ImportError:  # before 3.11: the TOML reader that nox brings there
    import tomli as tomllib

import debian_chroot

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INNER = "/root/manilink-ft"
VENV = "/root/venvs/py3.13t"
PYTHON = VENV + "/bin/python"
PIP = ["-m", "pip", "install", "-q", "--disable-pip-version-check"]
# Required for the suite; the rest of the `test` dependency group is optional
# (tests that need a missing one skip), since not all have 3.13t wheels.
REQUIRED = ["pytest", "hypothesis"]
# Fatal in the interpreters that the tests start, too.
WARNINGS = {"PYTHONWARNINGS": "error::RuntimeWarning"}
# The test watchdog (tests/conftest.py) waits longer for the rounds added here
# and for ThreadSanitizer.
SLOW = {"MANILINK_WATCHDOG_SCALE": "10"}
HEADERS = ["3.14", "3.15"]
SKIP_COPY = shutil.ignore_patterns(
    ".git", "build", "dist", "__pycache__", ".hypothesis", ".pytest_cache", "*.so", "*.egg-info"
)


def log(message):
    print("[freethreaded] " + message, flush=True)


def copy_tree(chroot):
    inner = chroot.host_path(INNER)
    shutil.rmtree(inner, ignore_errors=True)
    shutil.copytree(ROOT, inner, ignore=SKIP_COPY)


def install(chroot):
    interpreter = chroot.python("3.13t")
    if not os.path.exists(chroot.host_path(PYTHON)):
        chroot.run([interpreter, "-m", "venv", VENV])
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as pyproject:
        group = tomllib.load(pyproject)["dependency-groups"]["test"]
    required = [r for r in group if re.match(r"[\w.-]+", r).group() in REQUIRED]
    chroot.run([PYTHON] + PIP + ["--only-binary", ":all:"] + required)
    for requirement in [r for r in group if r not in required]:
        if chroot.run([PYTHON] + PIP + ["--only-binary", ":all:", requirement], check=False) != 0:
            log("no 3.13t wheel of %s: the tests that use it skip" % requirement)
    chroot.run([PYTHON] + PIP + ["--force-reinstall", "--no-deps", "."], cwd=INNER)


def check_import(chroot):
    code = (
        "import sys, sysconfig, manilink; "
        "assert sysconfig.get_config_var('Py_GIL_DISABLED') == 1; "
        "assert not sys._is_gil_enabled(), 'importing manilink enabled the GIL'; "
        "print(manilink.__file__)"
    )
    return (
        chroot.run(
            [PYTHON, "-W", "error::RuntimeWarning", "-c", code], cwd="/", env=WARNINGS, check=False
        )
        == 0
    )


def run_suite(chroot, rounds):
    pytest = [
        PYTHON,
        "-m",
        "pytest",
        "-p",
        "no:cacheprovider",
        "-q",
        "-W",
        "error::RuntimeWarning",
        "-rs",
    ]
    # From the tests folder, so that only the installed module is found.
    cwd = INNER + "/tests"
    suite = chroot.run(pytest + ["."], cwd=cwd, env={**WARNINGS, **SLOW}, check=False) == 0
    threads = (
        chroot.run(
            pytest + ["test_threads.py"],
            cwd=cwd,
            check=False,
            env={**WARNINGS, **SLOW, "MANILINK_THREAD_ROUNDS": str(rounds)},
        )
        == 0
    )
    return suite and threads


TSAN_VENV = "/root/venvs/py3.13t-tsan"
TSAN_PYTHON = TSAN_VENV + "/bin/python"
# While installing: CPython's own unlisted reports must not stop pip.
TSAN_QUIET = {"TSAN_OPTIONS": "exitcode=0 report_bugs=0"}


def run_tsan(chroot, rounds):
    """The threaded tests on the ThreadSanitizer build."""
    build = debian_chroot.FREETHREADED_TSAN_BUILD
    prefix = build["prefix"]
    if not os.path.exists(chroot.host_path(TSAN_PYTHON)):
        chroot.run(
            [prefix + "/bin/python3.13t", "-m", "venv", "--without-pip", TSAN_VENV], env=TSAN_QUIET
        )
    # The plain 3.13t's pip, run by the sanitized interpreter on its venv.
    pip = [
        PYTHON,
        "-m",
        "pip",
        "--python",
        TSAN_PYTHON,
        "install",
        "-q",
        "--disable-pip-version-check",
    ]
    chroot.run(pip + ["--only-binary", ":all:", "pytest"], env=TSAN_QUIET)
    flags = "-fsanitize=thread -g -O1"
    # Unstripped, so that a report names the module's functions.
    chroot.run(
        pip + ["--force-reinstall", "--no-deps", "-C", "install.strip=false", "."],
        cwd=INNER,
        env={**TSAN_QUIET, "CXXFLAGS": flags, "CFLAGS": flags, "LDFLAGS": "-fsanitize=thread"},
    )
    options = "suppressions=%s/%s halt_on_error=1 exitcode=66 second_deadlock_stack=1" % (
        prefix,
        build["keep"]["Tools/tsan/suppressions_free_threading.txt"],
    )
    # -s: a report ends the process at once, so pytest must not hold stderr.
    return (
        chroot.run(
            [
                TSAN_PYTHON,
                "-m",
                "pytest",
                "-p",
                "no:cacheprovider",
                "-q",
                "-s",
                "-W",
                "error::RuntimeWarning",
                "test_threads.py",
            ],
            cwd=INNER + "/tests",
            env={
                **WARNINGS,
                **SLOW,
                "TSAN_OPTIONS": options,
                "MANILINK_THREAD_ROUNDS": str(rounds),
            },
            check=False,
        )
        == 0
    )


def check_headers(chroot):
    """Compiles each glue source against the 3.14 and 3.15 headers as a
    free-threaded build sees them. Debian's headers are those of the GIL
    build, whose pyconfig.h differs from the free-threaded one only in not
    defining Py_GIL_DISABLED: defined on the command line, every declaration
    is the free-threaded one. A compile check: nothing is linked or run."""
    packages = ["python%s-dev" % v for v in HEADERS]
    chroot.run(debian_chroot.APT + ["install", "-y", "--no-install-recommends"] + packages)
    ok = True
    sources = sorted(glob.glob(os.path.join(ROOT, "src", "module", "*.cpp")))
    for version in HEADERS:
        for source in sources:
            name = "src/module/" + os.path.basename(source)
            # The glue's own flags; the fault switch on, so that its file compiles too.
            ok &= (
                chroot.run(
                    [
                        "g++",
                        "-std=c++17",
                        "-fsyntax-only",
                        "-fno-exceptions",
                        "-DPy_GIL_DISABLED=1",
                        "-DMANILINK_FAULT_INJECTION",
                        '-DMANILINK_VERSION="0"',  # CMake passes pyproject's
                        "-Wall",
                        "-Wextra",
                        "-Wpedantic",
                        "-Wconversion",
                        "-Wsign-conversion",
                        "-Werror",
                        "-Isrc",
                        "-I/usr/include/python" + version,
                        name,
                    ],
                    cwd=INNER,
                    check=False,
                )
                == 0
            )
        log("headers of %s with Py_GIL_DISABLED: %s" % (version, "ok" if ok else "FAILED"))
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--rounds", type=int, default=20000, help="rounds of the threaded tests' second run"
    )
    parser.add_argument(
        "--tsan-rounds",
        type=int,
        default=300,
        help="rounds of the threaded tests under ThreadSanitizer",
    )
    parser.add_argument(
        "--no-headers",
        action="store_true",
        help="leave out the compile check against 3.14/3.15 headers",
    )
    parser.add_argument(
        "--no-tsan",
        action="store_true",
        help="leave out the ThreadSanitizer run (and its interpreter)",
    )
    options = parser.parse_args()
    why = debian_chroot.can_enter()
    if why:
        sys.exit("free-threaded stage: " + why)
    started = time.monotonic()
    chroot = debian_chroot.Chroot(debian_chroot.FREETHREADED)
    chroot.make()
    debian_chroot.build_freethreaded(chroot)
    if not options.no_tsan:
        debian_chroot.build_freethreaded(chroot, debian_chroot.FREETHREADED_TSAN_BUILD)
    log("interpreters ready after %.0f s" % (time.monotonic() - started))
    with chroot.session():
        copy_tree(chroot)
        install(chroot)
        results = {
            "import leaves the GIL disabled": check_import(chroot),
            "suite and threaded tests": run_suite(chroot, options.rounds),
        }
        if not options.no_headers:
            results["3.14/3.15 headers, Py_GIL_DISABLED"] = check_headers(chroot)
        if not options.no_tsan:
            results["threaded tests under ThreadSanitizer"] = run_tsan(chroot, options.tsan_rounds)
    for name, ok in results.items():
        log("%-40s %s" % (name, "ok" if ok else "FAILED"))
    log("stage took %.0f s" % (time.monotonic() - started))
    return 0 if all(results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
