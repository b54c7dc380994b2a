"""Build the sdist on a foreign architecture and run the whole suite there:
a Debian bookworm chroot of that architecture (made once with debootstrap
into the cache, ~/.cache/manilink/ARCH), run through qemu-user-static, with
its own CPython 3.11, headers and g++. pip builds the module from the sdist
inside it (the build backend and CMake come from PyPI), then the suite runs
against that build. Needs root (chroot, mounts, binfmt_misc).

    python scripts/test_foreign.py arm64            # aarch64: CI, every run
    python scripts/test_foreign.py s390x            # big-endian: by hand
    python scripts/test_foreign.py ARCH --sdist dist/manilink-0.1.0.tar.gz [pytest args]

Without --sdist, the sdist is built here first. Every step is emulated, so it
is slow: on 2 cores, the aarch64 chroot takes about 6 minutes to make, and
the test requirements, the build and the suite about 7 more.
"""

import argparse
import glob
import os
import re
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import debian_chroot  # noqa: E402
import test_all  # noqa: E402

PIP = ["-m", "pip", "install", "--disable-pip-version-check"]
SRC = "/root/manilink"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     usage="%(prog)s ARCH [--sdist FILE] [pytest args...]")
    parser.add_argument("arch", choices=sorted(set(debian_chroot.RECIPES) - {"sid"}))
    parser.add_argument("--sdist", help="the sdist to build (default: build one first)")
    options, pytest_args = parser.parse_known_args()
    why = debian_chroot.can_enter()
    if why:
        sys.exit(why)
    times = {}
    started = time.monotonic()

    sdist = options.sdist
    if not sdist:
        dist = os.path.join(test_all.BUILD, "foreign-dist")
        shutil.rmtree(dist, ignore_errors=True)
        if test_all.run([test_all.tools_python(), "-m", "build", "--sdist", "--outdir", dist,
                         ROOT]) != 0:
            sys.exit("the sdist did not build")
        (sdist,) = glob.glob(os.path.join(dist, "*.tar.gz"))
    sdist = os.path.abspath(sdist)

    chroot = debian_chroot.Chroot(debian_chroot.RECIPES[options.arch])
    begin = time.monotonic()
    chroot.make()
    times["chroot"] = time.monotonic() - begin
    python_version = next(iter(chroot.recipe.python))
    python = chroot.python(python_version)
    venv = "/root/venvs/py" + python_version
    with chroot.session():
        test_all.copy_suite(chroot, None)
        os.makedirs(chroot.host_path(SRC + "/dist"))
        shutil.copy(sdist, chroot.host_path(SRC + "/dist"))
        inner_sdist = SRC + "/dist/" + os.path.basename(sdist)
        chroot.run(["uname", "-m"])
        chroot.run([python, "-c", "import sys, platform; print(platform.machine(), "
                    "sys.byteorder, sys.version.split()[0])"])

        begin = time.monotonic()
        if not os.path.exists(chroot.host_path(venv + "/bin/python")):
            chroot.run([python, "-m", "venv", venv])
        chroot.run([venv + "/bin/python"] + PIP + ["-q", "-r", SRC + "/tests/requirements.txt"])
        times["test requirements"] = time.monotonic() - begin

        begin = time.monotonic()
        # The build backend builds from the sdist in an isolated environment.
        chroot.run([venv + "/bin/python"] + PIP + ["--force-reinstall", "--no-deps",
                                                   "--no-cache-dir", "-v", inner_sdist],
                   env={"CMAKE_ARGS": "-DMANILINK_WERROR=ON"})
        times["build from the sdist"] = time.monotonic() - begin

        begin = time.monotonic()
        log = chroot.host_path(SRC + "/suite.log")
        command = ("%s/bin/python -m pytest -p no:cacheprovider -q -rs %s/tests %s 2>&1 "
                   "| tee %s/suite.log" % (venv, SRC, " ".join(pytest_args), SRC))
        status = chroot.run(["/bin/bash", "-c", "set -o pipefail; " + command],
                            cwd=SRC + "/tests", check=False)
        times["suite"] = time.monotonic() - begin
        with open(log) as text:
            summary = [line for line in text.read().splitlines()
                       if re.search(r"\d+ (passed|failed)", line)]

    print("\n%s (%s): %s" % (options.arch, chroot.path, summary[-1] if summary else "no summary"))
    for name, seconds in times.items():
        print("  %-22s %6.0f s" % (name, seconds))
    print("  %-22s %6.0f s" % ("total", time.monotonic() - started))
    return status


if __name__ == "__main__":
    sys.exit(main())
