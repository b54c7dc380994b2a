"""The stages of `python scripts/test_all.py --ci`, in the order they run.

Every stage runs even when an earlier one failed, except a stage that needs
what a failed one makes (the wheel, the interpreters). The end is a table of
every stage with its outcome and its time; the exit status is 1 when any
stage failed.
"""

import os
import subprocess
import sys
import time

import debian_chroot
import test_all
from test_all import ALL_VERSIONS, BUILD, ROOT, run

SCRIPTS = os.path.join(ROOT, "scripts")


class Context:
    def __init__(self, pytest_args):
        self.pytest_args = pytest_args
        self.interpreters = {}
        self.wheel = self.sdist = None
        self.env = dict(os.environ)

    def script(self, name, *args, env=None):
        """Runs scripts/NAME with what the driver found and built."""
        command = ["bash" if name.endswith(".sh") else sys.executable,
                   os.path.join(SCRIPTS, name)] + list(args)
        return run(command, env={**self.env, **(env or {})}) == 0


def stage_debian(ctx):
    missing = [p for p in test_all.CI_DEBIAN_PACKAGES if not installed(p)]
    if not missing:
        print("Debian packages present: " + " ".join(test_all.CI_DEBIAN_PACKAGES))
        return True
    return (run(["apt-get", "-q", "update"]) == 0 and
            run(["apt-get", "-q", "install", "-y", "--no-install-recommends"] + missing,
                env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"}) == 0)


def installed(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                            capture_output=True, text=True, check=False)
    return result.stdout.strip() == "install ok installed"


def stage_tools(ctx):
    tools = os.path.dirname(test_all.tools_python())
    ctx.env["MANILINK_TOOLS"] = tools
    ctx.env["PATH"] = tools + os.pathsep + ctx.env.get("PATH", "")
    return True


def stage_interpreters(ctx):
    notes = []
    ctx.interpreters = test_all.find_interpreters("make", notes)
    for note in notes:
        print("note: " + note)
    for version, interpreter in ctx.interpreters.items():
        print("CPython " + str(interpreter))
        if not interpreter.chroot:
            ctx.env["MANILINK_PYTHON_" + version.replace(".", "_")] = interpreter.path
    missing = [v for v in ALL_VERSIONS if v not in ctx.interpreters]
    if missing:
        print("missing: CPython " + ", ".join(missing))
    return not missing


def stage_wheel(ctx):
    ctx.wheel = test_all.build_wheel(python=test_all.tools_python(),
                                     cmake_args=test_all.WERROR)
    ctx.sdist = next(os.path.join(test_all.DIST, n) for n in os.listdir(test_all.DIST)
                     if n.endswith(".tar.gz"))
    ctx.env["MANILINK_WHEEL"], ctx.env["MANILINK_SDIST"] = ctx.wheel, ctx.sdist
    print("wheel: %s\nsdist: %s" % (ctx.wheel, ctx.sdist))
    return True


def suite_stage(version):
    def stage(ctx):
        interpreter = ctx.interpreters.get(version)
        if interpreter is None:
            print("CPython %s was not found" % version)
            return False
        return test_all.test_on(interpreter, ctx.wheel, ctx.pytest_args)
    stage.__doc__ = "the whole suite on CPython " + version
    return stage


def stage_readme(ctx):
    """The README's recipes, on the oldest interpreter, with the wheel."""
    python = test_all.venv_with_wheel(ctx.interpreters["3.9"], ctx.wheel)
    return python is not None and run([python, os.path.join(SCRIPTS, "check_readme.py")],
                                      cwd=BUILD) == 0


def stage_scalar(ctx):
    return ctx.script("ci_scalar.sh")


def stage_cibuildwheel(ctx):
    return ctx.script("ci_cibuildwheel.sh")


def stage_aarch64(ctx):
    return ctx.script("test_foreign.py", "arm64", "--sdist", ctx.sdist)


def script_stage(name):
    return lambda ctx: ctx.script(name)


# name, what it does, what it needs (earlier stages), the function
STAGES = [
    ("debian", "Debian packages the checks use", [], stage_debian),
    ("tools", "the tools venv build/tools (build, cmake, ninja, auditwheel, ...)", [],
     stage_tools),
    ("interpreters", "find CPython 3.9-3.13, make the sid chroot for 3.14 and 3.15",
     ["debian"], stage_interpreters),
    ("wheel", "the sdist, then the one wheel from it (warnings fatal)", ["tools"],
     stage_wheel),
] + [
    ("suite-" + v, "the whole suite on CPython " + v, ["interpreters", "wheel"], suite_stage(v))
    for v in ALL_VERSIONS
] + [
    ("typing", "stubtest and mypy --strict on 3.9 and 3.13", ["interpreters", "wheel"],
     script_stage("ci_typing.sh")),
    ("audit", "twine, metadata, auditwheel, abi3audit", ["interpreters", "wheel"],
     script_stage("ci_wheel_audit.sh")),
    ("readme", "the README's recipes, run as printed", ["interpreters", "wheel"],
     stage_readme),
    ("bench-smoke", "the benchmark suite with tiny loop counts", ["interpreters", "wheel"],
     script_stage("ci_bench_smoke.sh")),
    ("cibuildwheel", "the wheel builder accepts cp39-abi3, cp314t, cp315t per platform",
     ["tools"], stage_cibuildwheel),
    ("scalar", "the whole suite on a -DMANILINK_VECTORS=OFF build", ["interpreters", "tools"],
     stage_scalar),
    ("mingw", "src/ compiles for Windows with MinGW-w64, warnings fatal",
     ["debian", "interpreters", "tools"], script_stage("ci_mingw.py")),
    ("sanitizers", "the whole suite under ASan + UBSan on 3.9 and 3.13",
     ["debian", "interpreters", "tools"], script_stage("ci_sanitizers.sh")),
    ("fuzz", "libFuzzer for 90 s", ["debian", "tools"], script_stage("ci_fuzz.sh")),
    ("valgrind", "memcheck and the stress run", ["debian", "interpreters", "tools"],
     script_stage("ci_valgrind.sh")),
    ("aarch64", "bookworm arm64 under qemu: the sdist built there, the whole suite",
     ["debian", "wheel"], stage_aarch64),
    ("freethreaded", "CPython 3.13t built here: pip install ., suite, threads, TSan, headers",
     ["debian"], script_stage("ci_freethreaded.py")),
]


def main(options, pytest_args):
    names = [s[0] for s in STAGES]
    only = [n for n in options.only.split(",") if n]
    skip = [n for n in options.skip.split(",") if n]
    unknown = [n for n in only + skip if n not in names]
    if unknown:
        sys.exit("unknown stage(s) %s; stages: %s" % (", ".join(unknown), ", ".join(names)))
    if not debian_chroot.is_root():
        sys.exit("--ci installs packages and makes chroots: run it as root")
    selected = set(only or names)
    # what a selected stage needs runs too, unless skipped by name
    for name, _, needs, _ in reversed(STAGES):
        if name in selected:
            selected.update(needs)
    selected -= set(skip)

    ctx = Context(pytest_args)
    results = []
    started = time.monotonic()
    outcome = {}
    for name, what, needs, function in STAGES:
        if name not in selected:
            continue
        blocked = [n for n in needs if outcome.get(n) is False]
        if blocked:
            outcome[name] = False
            results.append((name, "not run: " + ", ".join(blocked) + " failed", 0.0))
            continue
        print("\n==== stage %s: %s" % (name, what), flush=True)
        begin = time.monotonic()
        try:
            ok = bool(function(ctx))
        except SystemExit as error:  # a helper's sys.exit(message)
            print("stage %s: %s" % (name, error), flush=True)
            ok = False
        except Exception as error:  # report it, go on with the others
            print("stage %s raised %s: %s" % (name, type(error).__name__, error), flush=True)
            ok = False
        seconds = time.monotonic() - begin
        outcome[name] = ok
        results.append((name, "passed" if ok else "FAILED", seconds))
        print("==== stage %s %s in %.0f s" % (name, "passed" if ok else "FAILED", seconds),
              flush=True)

    total = time.monotonic() - started
    print("\n%-14s %-34s %8s" % ("stage", "outcome", "time"))
    for name, result, seconds in results:
        print("%-14s %-34s %7.0fs" % (name, result, seconds))
    print("%-14s %-34s %7.0fs  (%.1f min)" % ("total", "", total, total / 60))
    failed = [name for name, result, _ in results if result != "passed"]
    print("CI: " + ("FAILED: " + ", ".join(failed) if failed else "all stages passed"))
    return 1 if failed else 0
