"""The notes of a release: the CHANGELOG.md entry of pyproject.toml's version.

    python scripts/release_notes.py v0.2.0    # prints the entry "## 0.2.0"

Fails, and the release workflow stops before it builds anything, when the tag
is not "v" followed by pyproject.toml's version or when CHANGELOG.md has no
entry for that version. Python 3.11 or later (tomllib).
"""

import os
import re
import sys

import tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def notes(tag):
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as pyproject:
        version = tomllib.load(pyproject)["project"]["version"]
    if tag != "v" + version:
        sys.exit("the tag %s does not name pyproject.toml's version %s" % (tag, version))
    with open(os.path.join(ROOT, "CHANGELOG.md"), encoding="utf-8") as changelog:
        text = changelog.read()
    # "## 0.2.0" or "## 0.2.0 (2026-12-10)", up to the next entry.
    entry = re.search(
        r"^## %s(?: .*)?\n(.*?)(?=^## |\Z)" % re.escape(version), text, re.DOTALL | re.MULTILINE
    )
    if entry is None or not entry.group(1).strip():
        sys.exit(
            "CHANGELOG.md has no entry for %s: add '## %s' above its changes" % (version, version)
        )
    return entry.group(1).strip() + "\n"


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.stdout.write(notes(sys.argv[1]))
