"""Debian chroots for the interpreters and architectures this machine lacks.

A chroot is made with debootstrap from deb.debian.org, once, into the cache
($XDG_CACHE_HOME/manilink, else ~/.cache/manilink; MANILINK_CACHE overrides)
and reused by later runs. A file inside it records the recipe it was made
with; a chroot without that file (an interrupted build) or with another
recipe is removed and made again from nothing.

Making and entering a chroot needs root: mounting /proc and /dev, chroot(2)
and, for a foreign architecture, registering qemu-user-static with
binfmt_misc. Nothing here asks for root by itself: callers check
`can_enter()` first and say what they skip.

    python scripts/debian_chroot.py make sid        # the chroot of 3.14 and 3.15
    python scripts/debian_chroot.py make bookworm   # the Quick start's plain Debian 12
    python scripts/debian_chroot.py make arm64      # bookworm arm64 (qemu)
    python scripts/debian_chroot.py make sid-ft     # sid with a built CPython 3.13t
    python scripts/debian_chroot.py remove s390x
    python scripts/debian_chroot.py list
"""

import argparse
import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

MIRROR = "http://deb.debian.org/debian"
# The mirror's package lists may be older than the validity date they carry.
APT = ["apt-get", "-q", "-o", "Acquire::Check-Valid-Until=false", "-o", "Acquire::Retries=3"]
RECIPE_FILE = ".manilink-recipe.json"


class Recipe:
    def __init__(self, name, suite, arch, packages, python):
        self.name, self.suite, self.arch = name, suite, arch
        self.packages, self.python = packages, python

    def as_dict(self):
        return {
            "suite": self.suite,
            "arch": self.arch,
            "variant": "minbase",
            "mirror": MIRROR,
            "packages": self.packages,
        }


# sid carries the newest CPython releases; only the interpreters are needed,
# the wheel is built outside and copied in.
SID = Recipe(
    "sid",
    "sid",
    "amd64",
    [
        "python3.14",
        "python3.14-venv",
        "python3.14-dev",
        "python3.15",
        "python3.15-venv",
        "python3.15-dev",
        "ca-certificates",
    ],
    {"3.14": "/usr/bin/python3.14", "3.15": "/usr/bin/python3.15"},
)


def foreign(arch):
    """bookworm on a foreign architecture, with what building the sdist needs."""
    return Recipe(
        arch,
        "bookworm",
        arch,
        ["python3.11", "python3.11-venv", "python3.11-dev", "g++", "ca-certificates"],
        {"3.11": "/usr/bin/python3.11"},
    )


# A plain Debian 12 with what the README's Quick start asks for, and no more.
BOOKWORM = Recipe(
    "bookworm",
    "bookworm",
    "amd64",
    ["python3", "python3-venv", "python3-dev", "g++"],
    {"3.11": "/usr/bin/python3.11"},
)

RECIPES = {"sid": SID, "bookworm": BOOKWORM, "arm64": foreign("arm64"), "s390x": foreign("s390x")}

# A free-threaded CPython 3.13 (no package of one is in Debian): sid with what
# building CPython needs, then `./configure --disable-gil` on the upstream
# tarball of Debian's python3.13 source package, installed under PREFIX.
# No PGO, no LTO, no test run: about 10 minutes on 2 cores.
FREETHREADED = Recipe(
    "sid-ft",
    "sid",
    "amd64",
    [
        "build-essential",
        "pkg-config",
        "libssl-dev",
        "zlib1g-dev",
        "libffi-dev",
        "libbz2-dev",
        "liblzma-dev",
        "libsqlite3-dev",
        "libreadline-dev",
        "libzstd-dev",
        "xz-utils",
        "ca-certificates",
    ],
    {"3.13t": "/opt/python3.13t/bin/python3.13t"},
)
RECIPES["sid-ft"] = FREETHREADED
FREETHREADED_BUILD = {
    "source": "python3.13",
    "prefix": "/opt/python3.13t",
    "configure": ["--disable-gil", "--with-ensurepip=install"],
    "make": ["make", "-j2"],
}
# The same with ThreadSanitizer, for the threaded tests; without pip (the
# other interpreter's pip installs into its venvs). CPython's own list of
# the races it knows of in itself is kept beside it. Its reports while it
# compiles the standard library do not stop the install.
FREETHREADED_TSAN_BUILD = {
    "source": "python3.13",
    "prefix": "/opt/python3.13t-tsan",
    "configure": ["--disable-gil", "--with-thread-sanitizer", "--with-ensurepip=no"],
    "make": ["make", "-j2"],
    "env": {"TSAN_OPTIONS": "exitcode=0 report_bugs=0"},
    "keep": {"Tools/tsan/suppressions_free_threading.txt": "share/tsan/suppressions.txt"},
}


def build_freethreaded(chroot, build=None):
    """Builds CPython 3.13t (FREETHREADED_BUILD unless another build is
    given) inside the sid-ft chroot once, with a recipe marker in its prefix;
    a failed or changed build is made again from nothing."""
    build = build or FREETHREADED_BUILD
    prefix = chroot.host_path(build["prefix"])
    marker = os.path.join(prefix, RECIPE_FILE)
    try:
        with open(marker) as existing:
            if json.load(existing) == build:
                log("CPython 3.13t in %s is ready" % build["prefix"])
                return
    except (OSError, ValueError):
        pass
    started = time.monotonic()
    with chroot.session():
        # The deb line names the mirror and suite; its deb-src twin lists the
        # source packages.
        sources = chroot.host_path("/etc/apt/sources.list")
        with open(sources) as text:
            lines = text.read().splitlines()
        src = [("deb-src" + line[3:]) for line in lines if line.startswith("deb ")]
        if not any(line.startswith("deb-src ") for line in lines):
            with open(sources, "a") as out:
                out.write("\n".join(src) + "\n")
        chroot.run(APT + ["update"])
        shows = subprocess.run(
            ["chroot", chroot.path, "apt-cache", "showsrc", build["source"]],
            capture_output=True,
            text=True,
            check=True,
            env=chroot.env(),
        ).stdout
        versions = [
            line.split(":", 1)[1].strip()
            for line in shows.splitlines()
            if line.startswith("Version:")
        ]
        versions.sort(key=debian_version_key, reverse=True)
        work = "/tmp/cpython-ft"
        remove_tree(chroot.host_path(work))
        os.makedirs(chroot.host_path(work))
        # The newest version may be listed before its files reach the mirror.
        for version in versions:
            if (
                chroot.run(
                    APT + ["source", "--download-only", build["source"] + "=" + version],
                    cwd=work,
                    check=False,
                )
                == 0
            ):
                break
        else:
            raise RuntimeError(
                "no source of %s could be fetched (listed: %s)"
                % (build["source"], ", ".join(versions))
            )
        orig = [n for n in os.listdir(chroot.host_path(work)) if ".orig.tar." in n]
        log("building %s %s from %s" % (build["source"], version, orig[0]))
        chroot.run(["tar", "xf", orig[0]], cwd=work)
        tree = (
            work
            + "/"
            + next(
                n
                for n in os.listdir(chroot.host_path(work))
                if os.path.isdir(chroot.host_path(work + "/" + n))
            )
        )
        remove_tree(prefix)
        env = build.get("env")
        chroot.run(
            ["./configure", "--prefix=" + build["prefix"]] + build["configure"], cwd=tree, env=env
        )
        chroot.run(build["make"], cwd=tree, env=env)
        chroot.run(["make", "install"], cwd=tree, env=env)
        for source, target in build.get("keep", {}).items():
            os.makedirs(os.path.dirname(os.path.join(prefix, target)), exist_ok=True)
            shutil.copyfile(chroot.host_path(tree + "/" + source), os.path.join(prefix, target))
        remove_tree(chroot.host_path(work))
    with open(marker, "w") as out:
        json.dump(build, out)
    log(
        "built CPython 3.13t (%s) in %s in %.0f s"
        % (version, build["prefix"], time.monotonic() - started)
    )


def debian_version_key(version):
    """Orders Debian versions well enough for one source package's list."""
    return [
        (int(p) if p.isdigit() else -1, p)
        for p in version.replace("-", ".").replace("~", ".").replace("+", ".").split(".")
    ]


QEMU = {"arm64": "aarch64", "s390x": "s390x", "ppc64el": "ppc64le", "armhf": "arm"}


def cache_dir():
    if os.environ.get("MANILINK_CACHE"):
        return os.environ["MANILINK_CACHE"]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "manilink")


def log(message):
    print("[chroot] " + message, flush=True)


def run(command, **kwargs):
    print("+ " + " ".join(command), flush=True)
    subprocess.run(command, check=True, **kwargs)


def is_root():
    return os.geteuid() == 0


def host_arch():
    return (
        subprocess.run(
            ["dpkg", "--print-architecture"], capture_output=True, text=True, check=False
        ).stdout.strip()
        if shutil.which("dpkg")
        else ""
    )


def mounts_under(path):
    """Mount points at or below `path`, deepest first."""
    path = os.path.realpath(path)
    found = []
    with open("/proc/mounts") as mounts:
        for line in mounts:
            point = line.split()[1].replace("\\040", " ")
            if point == path or point.startswith(path + os.sep):
                found.append(point)
    return sorted(found, key=len, reverse=True)


def unmount_all(path):
    for point in mounts_under(path):
        if subprocess.run(["umount", point], check=False).returncode != 0:
            subprocess.run(["umount", "-l", point], check=False)
    left = mounts_under(path)
    if left:
        raise RuntimeError("still mounted: " + ", ".join(left))


def remove_tree(path):
    """Removes a chroot, never following a mount into the host (/dev, /proc)."""
    if not os.path.lexists(path):
        return
    unmount_all(path)
    run(["rm", "-rf", "--one-file-system", path])


class Chroot:
    """One cached chroot: `ready()`, `make()`, and `session()` to run in it."""

    def __init__(self, recipe, root=None):
        self.recipe = recipe
        self.path = os.path.join(root or cache_dir(), recipe.name)

    def __repr__(self):
        return "%s chroot at %s" % (self.recipe.name, self.path)

    def ready(self):
        try:
            with open(os.path.join(self.path, RECIPE_FILE)) as marker:
                return json.load(marker) == self.recipe.as_dict()
        except (OSError, ValueError):
            return False

    def python(self, version):
        return self.recipe.python[version]

    @contextlib.contextmanager
    def locked(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        import fcntl  # POSIX only; the noxfile imports this module everywhere

        with open(self.path + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield

    def make(self):
        """Builds the chroot from nothing (or keeps it when ready). Needs root."""
        with self.locked():
            if self.ready():
                log("%r is ready" % self)
                return
            started = time.monotonic()
            need_commands(["debootstrap"], ["debootstrap"])
            if self.foreign():
                enable_emulation(self.recipe.arch)
            remove_tree(self.path)
            os.makedirs(self.path)
            run(
                [
                    "debootstrap",
                    "--variant=minbase",
                    "--arch=" + self.recipe.arch,
                    self.recipe.suite,
                    self.path,
                    MIRROR,
                ]
            )
            with self.mounted():
                self.run(APT + ["update"])
                self.run(APT + ["install", "-y", "--no-install-recommends"] + self.recipe.packages)
                self.run(APT + ["clean"])
            with open(os.path.join(self.path, RECIPE_FILE), "w") as marker:
                json.dump(self.recipe.as_dict(), marker)
            log("made %r in %.0f s" % (self, time.monotonic() - started))

    def foreign(self):
        return self.recipe.arch != (host_arch() or "amd64")

    @contextlib.contextmanager
    def session(self):
        """The chroot, locked and with /proc and /dev mounted, for `run` calls."""
        with self.locked():
            if not self.ready():
                raise RuntimeError("%r is not made yet" % self)
            if self.foreign():
                enable_emulation(self.recipe.arch)
            with self.mounted():
                yield self

    @contextlib.contextmanager
    def mounted(self):
        for name in ("etc/resolv.conf", "etc/hosts"):
            if os.path.exists("/" + name):
                shutil.copyfile("/" + name, os.path.join(self.path, name))
        # pip and apt inside trust the same authorities as the host's pip.
        cert = os.environ.get("PIP_CERT")
        if cert and os.path.isfile(cert):
            target = os.path.join(self.path, "etc/ssl/certs/ca-certificates.crt")
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(cert, target)
        # A terminating signal must still reach the unmounting below.
        previous = signal.signal(signal.SIGTERM, _raise_interrupt)
        try:
            run(["mount", "-t", "proc", "proc", os.path.join(self.path, "proc")])
            run(["mount", "--bind", "/dev", os.path.join(self.path, "dev")])
            yield
        finally:
            unmount_all(os.path.join(self.path, "proc"))
            unmount_all(os.path.join(self.path, "dev"))
            signal.signal(signal.SIGTERM, previous)

    def env(self, extra=None):
        env = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": "/root",
            "LANG": "C.UTF-8",
            "DEBIAN_FRONTEND": "noninteractive",
            "PIP_DISABLE_PIP_VERSION_CHECK": "1",
            "PIP_DEFAULT_TIMEOUT": "180",
            "PIP_CERT": "/etc/ssl/certs/ca-certificates.crt",
        }
        for name in ("CI", "TERM"):
            if name in os.environ:
                env[name] = os.environ[name]
        env.update(extra or {})
        return env

    def run(self, command, cwd="/", env=None, check=True):
        """Runs `command` inside; returns its exit status."""
        print("+ [%s] %s" % (self.recipe.name, " ".join(command)), flush=True)
        inner = ["/bin/sh", "-c", 'cd "$0" && exec "$@"', cwd] + command
        return subprocess.run(
            ["chroot", self.path] + inner, env=self.env(env), check=check
        ).returncode

    def host_path(self, inner):
        return os.path.join(self.path, inner.lstrip("/"))


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt("signal %d" % signum)


def need_commands(commands, packages):
    """Installs the Debian packages when a command is missing (root only)."""
    if all(shutil.which(c) for c in commands):
        return
    if not is_root():
        raise RuntimeError("missing %s; install %s" % (", ".join(commands), " ".join(packages)))
    run(["apt-get", "-q", "update"])
    run(["apt-get", "-q", "install", "-y", "--no-install-recommends"] + packages)


def emulation_enabled(entry):
    if not os.path.exists(entry):
        return False
    with open(entry) as status:
        return status.readline().strip() == "enabled"


def enable_emulation(arch):
    """Registers qemu-user-static for `arch` with binfmt_misc (root only)."""
    qemu = QEMU.get(arch, arch)
    entry = "/proc/sys/fs/binfmt_misc/qemu-" + qemu
    if emulation_enabled(entry):
        return
    need_commands(
        ["qemu-%s-static" % qemu, "update-binfmts"], ["qemu-user-static", "binfmt-support"]
    )
    if not os.path.exists("/proc/sys/fs/binfmt_misc/status"):
        run(["mount", "-t", "binfmt_misc", "binfmt_misc", "/proc/sys/fs/binfmt_misc"])
    run(["update-binfmts", "--enable", "qemu-" + qemu])
    if not emulation_enabled(entry):
        raise RuntimeError("binfmt_misc did not enable qemu-" + qemu)


def can_enter():
    """Why a chroot cannot be made or entered here, or None when it can."""
    if not sys.platform.startswith("linux"):
        return "chroots need Linux"
    if not is_root():
        return "entering a chroot needs root"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=["make", "remove", "list"])
    parser.add_argument("name", nargs="?", choices=sorted(RECIPES))
    options = parser.parse_args()
    if options.action == "list":
        for name, recipe in sorted(RECIPES.items()):
            chroot = Chroot(recipe)
            print(
                "%-6s %-9s %-6s %s"
                % (name, recipe.suite, recipe.arch, chroot.path if chroot.ready() else "(not made)")
            )
        return 0
    if not options.name:
        parser.error("name a chroot")
    why = can_enter()
    if why:
        sys.exit(why)
    chroot = Chroot(RECIPES[options.name])
    if options.action == "make":
        chroot.make()
        if chroot.recipe is FREETHREADED:
            build_freethreaded(chroot)
    else:
        with chroot.locked():
            remove_tree(chroot.path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
