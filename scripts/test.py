"""The test command: nox, from a tools environment this makes when missing.

    python3 scripts/test.py                 # the whole suite on every CPython found
    python3 scripts/test.py -l              # every session
    python3 scripts/test.py -s typing       # one session
    python3 scripts/test.py -s suite-3.11 -- -x -k parse   # pytest arguments after --
    python3 scripts/test.py -t ci           # everything CI runs (root)

Makes build/tools (a venv holding nox, from PyPI) once, then runs nox on
noxfile.py with the arguments given; nox refuses those it does not know.
"""

import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(ROOT, "build", "tools")
NOX = "nox>=2025.2.9"  # as in the script block of noxfile.py


def main():
    nox = os.path.join(TOOLS, "bin", "nox")
    if not os.path.exists(nox):
        python = os.path.join(TOOLS, "bin", "python")
        made = subprocess.run([sys.executable, "-m", "venv", TOOLS]).returncode == 0 and (
            subprocess.run(
                [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", NOX]
            ).returncode
            == 0
        )
        if not made:
            shutil.rmtree(TOOLS, ignore_errors=True)
            sys.exit(
                "could not make %s with nox (Debian and Ubuntu: apt install python3-venv)" % TOOLS
            )
    os.execv(nox, [nox, "-f", os.path.join(ROOT, "noxfile.py")] + sys.argv[1:])


if __name__ == "__main__":
    main()
