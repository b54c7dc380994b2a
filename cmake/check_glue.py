"""Proves from the built objects that the interpreter glue (src/module, built
without exceptions) calls nothing that can throw into its frames.

    check_glue.py gnu --nm NM --glue OBJ... --logic OBJ... [--module FILE]
                      [--sanitized] [--print]
    check_glue.py msvc OBJ...

gnu, for ELF, Mach-O and MinGW's COFF (CMake runs it after every build with the arguments it
writes to glue_check.args in the build folder: `check_glue.py @glue_check.args`):
  1. no glue object refers to an exception personality, an unwinder resume, a
     catch or a throw;
  2. every name a glue object refers to, demangled, is defined by the glue
     itself or listed in allowlists/python.txt, runtime.txt or edge.txt;
  3. no definition is held by both a glue object and a logic object (the
     linker keeps one copy, built with or without exceptions, for both)
     unless allowlists/shared.txt lists it;
  4. every name the linked module imports is listed in python.txt,
     runtime.txt or imports.txt.
A sanitizer build (--sanitized) may also refer to the sanitizers' own names.
--print writes the names found, sorted into the lists they belong to, for
updating the lists (CONTRIBUTING.md).

msvc: fails when an object refers to the C++ exception frame handler or throw
helper, or when no object is given.

A missing tool fails the check where it must run (CI set, or the wheel
builder's CIBUILDWHEEL=1) and only warns elsewhere.
"""

import argparse
import os
import shutil
import subprocess
import sys

LISTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "allowlists")

# Present only in code built with exceptions (or code that throws): a frame
# with a personality routine runs cleanups on a forced unwind.
EXCEPTION_NAMES = {
    "__gxx_personality_v0",
    "__gxx_personality_seh0",
    "__gxx_personality_sj0",
    "__gcc_personality_v0",
    "_Unwind_Resume",
    "_Unwind_SjLj_Resume",
    "__cxa_begin_catch",
    "__cxa_end_catch",
    "__cxa_rethrow",
    "__cxa_throw",
    "__cxa_allocate_exception",
}
# MSVC's: the frame handler of code built with /EHs or /EHa, and `throw`.
MSVC_EXCEPTION_NAMES = ("CxxFrameHandler", "CxxThrowException", "GSHandlerCheck_EH")
SANITIZER_PREFIXES = ("__asan_", "__ubsan_", "__tsan_", "__sanitizer_", "__lsan_")
UNDEFINED = {"U", "w", "v"}
MACHO_MAGIC = {b"\xcf\xfa\xed\xfe", b"\xce\xfa\xed\xfe", b"\xfe\xed\xfa\xcf", b"\xfe\xed\xfa\xce"}


def fail_or_warn(message):
    """A check that cannot run: an error under CI and in the wheel builder."""
    required = bool(os.environ.get("CI")) or os.environ.get("CIBUILDWHEEL") == "1"
    print(
        "check_glue: %s: %s" % ("error" if required else "warning", message),
        file=sys.stderr,
    )
    sys.exit(1 if required else 0)


def find_tool(given, names):
    for candidate in ([given] if given else []) + names:
        path = shutil.which(candidate)
        if path:
            return path
    return None


def is_macho(path):
    with open(path, "rb") as binary:
        magic = binary.read(4)
    return magic in MACHO_MAGIC


def symbols(nm, path, dynamic=False):
    """(name, type) of each external symbol of `path`: names without a symbol
    version, Mach-O's leading underscore or Windows' __imp_ (a DLL's name)."""
    done = subprocess.run(
        [nm, "-P", "-D" if dynamic else "-g", path], capture_output=True, text=True, check=False
    )
    if done.returncode != 0:
        sys.exit("check_glue: %s failed on %s: %s" % (nm, path, done.stderr.strip()))
    strip = 1 if is_macho(path) else 0
    found = []
    for line in done.stdout.splitlines():
        parts = line.split()
        if len(parts) >= 2 and len(parts[1]) == 1:
            name = parts[0].split("@")[0][strip:]
            found.append((name.removeprefix("__imp_"), parts[1]))
    return found


def demangler(cxxfilt, names):
    names = sorted(set(names))
    done = subprocess.run(
        # -n: Mach-O's underscore is gone already (llvm-cxxfilt drops one there).
        [cxxfilt, "-n"],
        input="\n".join(names) + "\n",
        capture_output=True,
        text=True,
        check=False,
    )
    readable = done.stdout.splitlines()
    if done.returncode != 0 or len(readable) != len(names):
        sys.exit("check_glue: %s failed: %s" % (cxxfilt, done.stderr.strip()))
    return dict(zip(names, readable))


def allowlist(name):
    with open(os.path.join(LISTS, name), encoding="utf-8") as lines:
        return {s for s in (line.strip() for line in lines) if s and not s.startswith("#")}


def check_gnu(options):
    nm = find_tool(options.nm, ["nm", "llvm-nm"])
    if nm is None:
        fail_or_warn("no nm or llvm-nm found: the interpreter glue was not checked")
    # c++filt first whatever the compiler: LLVM's spells a few names its own
    # way (std::nullptr_t for decltype(nullptr)), and the lists hold GNU's.
    cxxfilt = find_tool(None, ["c++filt", "llvm-cxxfilt"])
    if cxxfilt is None:
        fail_or_warn("no c++filt or llvm-cxxfilt found: the interpreter glue was not checked")
    if not options.glue or not options.logic:
        sys.exit("check_glue: no glue or no logic objects given")
    glue = {path: symbols(nm, path) for path in options.glue}
    logic = {path: symbols(nm, path) for path in options.logic}
    imports = (
        symbols(nm, options.module, dynamic=not is_macho(options.module)) if options.module else []
    )
    every = [s for table in (glue, logic) for found in table.values() for s in found] + imports
    readable = demangler(cxxfilt, [name for name, _ in every])

    def defined(table):
        return {name for found in table.values() for name, kind in found if kind not in UNDEFINED}

    def allowed(name):
        return options.sanitized and name.startswith(SANITIZER_PREFIXES)

    glue_defined, logic_defined = defined(glue), defined(logic)
    python, runtime = allowlist("python.txt"), allowlist("runtime.txt")
    edge, shared, imported = (
        allowlist("edge.txt"),
        allowlist("shared.txt"),
        allowlist("imports.txt"),
    )
    problems, found = [], {n: set() for n in ("python", "runtime", "edge", "imports", "shared")}
    for path, listing in glue.items():
        where = os.path.basename(path)
        for name, kind in listing:
            text = readable[name]
            if name in EXCEPTION_NAMES:
                problems.append("%s refers to %s: exception handling in the glue" % (where, name))
            elif kind not in UNDEFINED or name in glue_defined or allowed(name):
                continue
            elif name in logic_defined or text.startswith("manilink::"):
                found["edge"].add(text)
                if text not in edge:
                    problems.append(
                        "%s refers to %s, a name of the logic that edge.txt does not list"
                        % (where, text)
                    )
            else:
                found["python" if text.startswith(("Py", "_Py")) else "runtime"].add(text)
                if text not in python and text not in runtime:
                    problems.append(
                        "%s refers to %s, which neither python.txt nor runtime.txt lists"
                        % (where, text)
                    )
    for name in sorted(glue_defined & logic_defined, key=readable.get):
        found["shared"].add(readable[name])
        if readable[name] not in shared:
            problems.append(
                "%s is defined by both the glue and the logic, and shared.txt does not list it"
                % readable[name]
            )
    for name, kind in imports:
        text = readable[name]
        if kind not in UNDEFINED or allowed(name):
            continue
        if text.startswith(("Py", "_Py")):
            found["python"].add(text)
        elif text not in found["runtime"]:
            found["imports"].add(text)
        if text not in python and text not in runtime and text not in imported:
            problems.append(
                "the module imports %s, which no list of python.txt, runtime.txt and imports.txt"
                " holds" % text
            )
    if options.print:
        for name, names in found.items():
            listed = allowlist(name + ".txt")
            print("## %s.txt" % name)
            if names & listed:
                print("\n".join(sorted(names & listed)))
            if names - listed:
                print("# not yet listed\n" + "\n".join(sorted(names - listed)))
        return 0
    for problem in problems:
        print("check_glue: " + problem, file=sys.stderr)
    if problems:
        print(
            "check_glue: the interpreter glue may call what throws, or the lists in %s miss a"
            " name: see 'The no-throw check' in CONTRIBUTING.md" % LISTS,
            file=sys.stderr,
        )
        return 1
    print(
        "check_glue: %d glue and %d logic objects%s: nothing that throws, every name listed"
        % (len(glue), len(logic), " and the module" if options.module else "")
    )
    return 0


def check_msvc(options):
    if not options.objects:
        sys.exit("check_glue msvc: no objects given")
    dumpbin = find_tool(None, ["dumpbin"])
    nm = None if dumpbin else find_tool(None, ["llvm-nm"])
    if not dumpbin and not nm:
        fail_or_warn("neither dumpbin nor llvm-nm found: the interpreter glue was not checked")
    problems = []
    for path in options.objects:
        command = [dumpbin, "/symbols", path] if dumpbin else [nm, "-P", path]
        if not os.path.isfile(path):
            sys.exit("check_glue: no object %s" % path)
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            sys.exit("check_glue: %s failed on %s: %s" % (command[0], path, done.stderr.strip()))
        for line in done.stdout.splitlines():
            # dumpbin: "008 00000000 UNDEF notype () External | name (readable)"
            if dumpbin and "|" not in line:
                continue
            words = line.split("|", 1)[-1].split()
            if words and any(n in words[0] for n in MSVC_EXCEPTION_NAMES):
                problems.append("%s refers to %s" % (os.path.basename(path), words[0]))
    for problem in sorted(set(problems)):
        print("check_glue: %s: exception handling in the glue" % problem, file=sys.stderr)
    if problems:
        return 1
    print("check_glue: %d glue objects: no exception handling" % len(options.objects))
    return 0


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], fromfile_prefix_chars="@"
    )
    commands = parser.add_subparsers(dest="command", required=True)
    gnu = commands.add_parser("gnu", help="GCC's and clang's objects, read with nm")
    gnu.add_argument("--nm", help="the nm of the toolchain (else nm or llvm-nm on PATH)")
    gnu.add_argument("--glue", nargs="+", action="extend", default=[], help="the glue's objects")
    gnu.add_argument("--logic", nargs="+", action="extend", default=[], help="the logic's objects")
    gnu.add_argument("--module", help="the linked module, whose imports are checked")
    gnu.add_argument("--sanitized", action="store_true", help="a sanitizer build")
    gnu.add_argument("--print", action="store_true", help="write the names found, per list")
    msvc = commands.add_parser("msvc", help="MSVC objects, read with dumpbin or llvm-nm")
    msvc.add_argument("objects", nargs="*", help="the glue's .obj files")
    options = parser.parse_args()
    return check_gnu(options) if options.command == "gnu" else check_msvc(options)


if __name__ == "__main__":
    sys.exit(main())
