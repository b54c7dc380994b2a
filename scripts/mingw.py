"""Windows build check: every source under src/ compiles with MinGW-w64
(x86_64-w64-mingw32-g++, Debian's g++-mingw-w64-x86-64) with the flags CMake
gives g++ for this project, warnings fatal, and the objects link into a
manilink.pyd that imports nothing from the interpreter but python3.dll (the
stable ABI) and exports PyInit_manilink; the glue's objects pass its no-throw
check (cmake/check_glue.py).

The Windows interpreter's headers (Include/ and the Windows PC/pyconfig.h)
and the list of what python3.dll exports (PC/python3dll.c) come from
CPython's own source, Debian's source package python3.11, fetched once from
deb.debian.org into the cache (~/.cache/manilink/windows-python3.11). The
pyd is not run: no Windows interpreter runs here.

    python3 scripts/test.py -s mingw      # or, with cmake and ninja on PATH:
    python3 scripts/mingw.py
"""

import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "mingw")
sys.path.insert(0, HERE)
import debian_chroot

TRIPLE = "x86_64-w64-mingw32"
CXX = TRIPLE + "-g++"
SOURCE_PACKAGE, SUITE = "python3.11", "bookworm"
# What a pyd may import besides python3.dll: the C runtime and the kernel.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll"}


def run(command, **kwargs):
    print("+ " + " ".join(shlex.quote(c) for c in command), flush=True)
    subprocess.run(command, check=True, **kwargs)


def windows_headers():
    """The folder holding Include/, PC/pyconfig.h and PC/python3dll.c."""
    target = os.path.join(debian_chroot.cache_dir(), "windows-" + SOURCE_PACKAGE)
    if os.path.exists(os.path.join(target, ".ready")):
        return target
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "sources.list"), "w") as sources:
            sources.write("deb-src %s %s main\n" % (debian_chroot.MIRROR, SUITE))
        for name in ("lists/partial", "cache/archives/partial"):
            os.makedirs(os.path.join(work, name))
        apt = [
            "apt-get",
            "-q",
            "-o",
            "Dir::Etc::SourceList=" + work + "/sources.list",
            "-o",
            "Dir::Etc::SourceParts=/nonexistent",
            "-o",
            "Dir::State::Lists=" + work + "/lists",
            "-o",
            "Dir::Cache=" + work + "/cache",
            "-o",
            "Acquire::Check-Valid-Until=false",
            "-o",
            "APT::Sandbox::User=root",
        ]
        run(apt + ["update"])
        run(apt + ["source", "--download-only", SOURCE_PACKAGE], cwd=work)
        (tarball,) = glob.glob(os.path.join(work, SOURCE_PACKAGE + "_*.orig.tar.*"))
        run(
            [
                "tar",
                "-xf",
                tarball,
                "-C",
                work,
                "--wildcards",
                "*/Include/*",
                "*/PC/pyconfig.h",
                "*/PC/python3dll.c",
            ]
        )
        (top,) = [p for p in glob.glob(os.path.join(work, "Python-*")) if os.path.isdir(p)]
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(top, target)
        open(os.path.join(target, ".ready"), "w").close()
    return target


def import_library(headers, work):
    """libpython3.a for python3.dll, from the export list in PC/python3dll.c."""
    with open(os.path.join(headers, "PC", "python3dll.c")) as source:
        exports = re.findall(r"^EXPORT_(FUNC|DATA)\((\w+)\)", source.read(), re.MULTILINE)
    definition = os.path.join(work, "python3.def")
    with open(definition, "w") as out:
        out.write("LIBRARY python3.dll\nEXPORTS\n")
        out.writelines(name + (" DATA\n" if kind == "DATA" else "\n") for kind, name in exports)
    library = os.path.join(work, "libpython3.a")
    run([TRIPLE + "-dlltool", "-d", definition, "-l", library, "-D", "python3.dll"])
    print("python3.dll exports %d names" % len(exports))
    return work


def host_compile_commands(work):
    """How CMake compiles each source with g++ (warnings fatal), and the Linux
    interpreter's include folder that those commands name."""
    python = sys.executable
    run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            work,
            "-G",
            "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCMAKE_CXX_COMPILER=g++",
            "-DMANILINK_WERROR=ON",
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
            "-DPython_EXECUTABLE=" + python,
        ]
    )
    include = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    with open(os.path.join(work, "compile_commands.json")) as commands:
        return json.load(commands), os.path.realpath(include)


def windows_command(entry, linux_include, headers, objects):
    """The entry's g++ command, retargeted: MinGW, Windows headers, own output."""
    words = shlex.split(entry["command"])
    out, i = [CXX], 1

    def linux(path):
        return os.path.realpath(os.path.join(entry["directory"], path)) == linux_include

    while i < len(words):
        word = words[i]
        if word in ("-o", "-I", "-isystem") and i + 1 < len(words):
            if word == "-o" or linux(words[i + 1]):
                i += 2
                continue
        elif (
            word.startswith("-isystem")
            and linux(word[len("-isystem") :])
            or word.startswith("-I")
            and linux(word[2:])
            or word == "-fPIC"
        ):
            word = None
        if word is not None:
            out.append(word)
        i += 1
    source = os.path.relpath(entry["file"], ROOT)
    target = os.path.join(objects, source.replace(os.sep, "_") + ".obj")
    return (
        source,
        out
        + [
            "-I" + os.path.join(headers, "Include"),
            "-I" + os.path.join(headers, "PC"),
            "-o",
            target,
        ],
        target,
    )


def main():
    debian_chroot.need_commands([CXX, TRIPLE + "-dlltool"], ["g++-mingw-w64-x86-64"])
    for tool in ("cmake", "ninja"):
        if not shutil.which(tool):
            sys.exit(
                "%s not found: run `python3 scripts/test.py -s mingw`, which installs it" % tool
            )
    headers = windows_headers()
    shutil.rmtree(BUILD, ignore_errors=True)
    objects = os.path.join(BUILD, "obj")
    os.makedirs(objects)
    commands, linux_include = host_compile_commands(os.path.join(BUILD, "host"))
    entries = [e for e in commands if os.path.relpath(e["file"], ROOT).startswith("src" + os.sep)]
    if not entries:
        sys.exit("CMake compiles nothing under src/")
    failed, built = [], []
    for entry in entries:
        source, command, target = windows_command(entry, linux_include, headers, objects)
        print("== %s" % source, flush=True)
        print("+ " + " ".join(shlex.quote(c) for c in command), flush=True)
        if subprocess.run(command, cwd=entry["directory"], check=False).returncode:
            failed.append(source)
        else:
            built.append(target)
    if failed:
        print(
            "MinGW-w64: %d of %d sources failed: %s"
            % (len(failed), len(entries), ", ".join(failed))
        )
        return 1
    # The glue's no-throw check (cmake/check_glue.py) on the Windows objects.
    glue = [t for t in built if os.path.basename(t).startswith("src_module_")]
    logic = [t for t in built if os.path.basename(t).startswith("src_link_")]
    check = [sys.executable, os.path.join(ROOT, "cmake", "check_glue.py"), "gnu"]
    if subprocess.run(
        check + ["--nm", TRIPLE + "-nm", "--glue", *glue, "--logic", *logic], check=False
    ).returncode:
        return 1
    library = import_library(headers, BUILD)
    pyd = os.path.join(BUILD, "manilink.pyd")
    run(
        [CXX, "-shared", "-o", pyd]
        + built
        + [
            "-L" + library,
            "-lpython3",
            "-static-libgcc",
            "-static-libstdc++",
            "-Wl,--fatal-warnings",
        ]
    )
    dump = subprocess.run(
        [TRIPLE + "-objdump", "-p", pyd], capture_output=True, text=True, check=True
    ).stdout
    dlls = sorted({d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)})
    others = [d for d in dlls if d != "python3.dll" and d not in SYSTEM_DLLS]
    exported = re.search(r"\]\s+PyInit_manilink\s*$", dump, re.MULTILINE) is not None
    print("manilink.pyd imports: " + ", ".join(dlls))
    if others or "python3.dll" not in dlls or not exported:
        print(
            "MinGW-w64: the pyd imports %s, exports PyInit_manilink: %s"
            % (", ".join(others) or "no python3.dll", exported)
        )
        return 1
    print(
        "MinGW-w64: %d sources compiled with warnings fatal; manilink.pyd links against "
        "python3.dll only and exports PyInit_manilink" % len(entries)
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
