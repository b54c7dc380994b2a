"""Report the C2PA manifest that a URL advertises in its Link headers.

    python examples/discover.py URL
    python examples/discover.py --help

Sends a HEAD request (GET if the server refuses HEAD), reads every Link field
of the response and prints the advertised manifest as an absolute URL.

Exit status: 0 when one manifest is advertised, 1 when none is, 2 when
conflicting manifests are advertised (each is listed), 3 when the request
fails, 64 (EX_USAGE) when the command line is not one URL.
"""

from __future__ import annotations

import os
import sys
import urllib.error
import urllib.parse
import urllib.request
from typing import TYPE_CHECKING

import manilink

if TYPE_CHECKING:
    from manilink import ManifestLink


def fetch_link_values(url: str) -> tuple[str, list[str]]:
    """The final URL after redirects and every Link value of the response."""
    for method in ("HEAD", "GET"):
        request = urllib.request.Request(url, method=method)
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                # get_all keeps repeated fields apart; never use headers["Link"],
                # which returns the first field only.
                values: list[str] = response.headers.get_all("Link") or []
                return response.geturl(), values
        except urllib.error.HTTPError as error:
            if method == "HEAD" and error.code in (405, 501):
                continue
            raise
    raise AssertionError("unreachable")


def describe(base: str, link: ManifestLink) -> str:
    where = urllib.parse.urljoin(base, link["uri"])
    if link["is_embedded"]:
        return "%s (embedded, jumbf=%s)" % (where, link["jumbf"])
    return where


EX_USAGE = getattr(os, "EX_USAGE", 64)


def main(argv: list[str]) -> int:
    if argv in (["-h"], ["--help"]):
        print((__doc__ or "").strip())
        return 0
    if len(argv) != 1 or argv[0].startswith("-"):
        print("usage: discover.py URL  (--help for more)", file=sys.stderr)
        return EX_USAGE
    try:
        base, values = fetch_link_values(argv[0])
    except (urllib.error.URLError, OSError) as error:
        print("request failed: %s" % error, file=sys.stderr)
        return 3
    try:
        found = manilink.extract(values)
    except ValueError:
        print("conflicting manifests advertised:")
        for link in manilink.locate_all(values):
            print("  " + describe(base, link))
        return 2
    if found is None:
        print("no manifest advertised")
        return 1
    print("manifest: " + describe(base, found))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
