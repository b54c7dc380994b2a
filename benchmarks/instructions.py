"""Instructions per call of each function, counted by callgrind: repeatable
whatever else the machine is doing, so two builds can be compared on a busy
machine.

    python benchmarks/instructions.py [--module-path DIR] [--calls N]

Each function runs N and N + 10,000 times in a child process under
valgrind --tool=callgrind; the difference over 10,000 is its cost per call,
the interpreter's loop included (the same for every build).
"""

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXTRA = 10_000
CHILD = """
import sys
sys.path.insert(0, %r)
import manilink, workloads
url = "https://example.com/media/photo-000123.jpg"[:40]
typical = workloads.typical_response()
f, a = {"format": (manilink.format, url), "format_strict": (manilink.format_strict, url),
        "encode_target": (manilink.encode_target, url),
        "extract": (manilink.extract, typical), "locate_all": (manilink.locate_all, typical),
        }[sys.argv[1]]
for _ in range(int(sys.argv[2])): f(a)
"""


def instructions(name, calls, env):
    result = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            sys.executable,
            "-c",
            CHILD % HERE,
            name,
            str(calls),
        ],
        capture_output=True,
        text=True,
        env=env,
    )
    found = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or not found:
        sys.exit("callgrind failed:\n" + result.stderr[-2000:])
    return int(found.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module-path", metavar="DIR", help="import manilink from DIR")
    parser.add_argument("--calls", type=int, default=1000, help="calls of the shorter run")
    options = parser.parse_args()
    env = dict(os.environ, PYTHONHASHSEED="0")
    if options.module_path:
        env["PYTHONPATH"] = os.path.abspath(options.module_path)
    for name in ["format", "format_strict", "encode_target", "extract", "locate_all"]:
        cost = (
            instructions(name, options.calls + EXTRA, env) - instructions(name, options.calls, env)
        ) / EXTRA
        print("%-14s %8.0f instructions per call" % (name, cost), flush=True)


if __name__ == "__main__":
    main()
