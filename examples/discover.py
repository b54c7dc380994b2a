"""Report the C2PA manifest that a URL advertises in its Link headers.

    python examples/discover.py URL
    python examples/discover.py --help

Sends a HEAD request (GET if the server refuses HEAD), reads every Link field
of the response and prints the advertised manifest as an absolute URL.

Exit status: 0 when one manifest is advertised, 1 when none is, 2 when
conflicting manifests are advertised (each is listed), 3 when the request
fails, 64 (EX_USAGE) when the command line is not one http or https URL.
"""

from __future__ import annotations

import http.client
import os
import re
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
    try:
        return request(url, "HEAD")
    except urllib.error.HTTPError as error:
        if error.code not in (405, 501):
            raise
    return request(url, "GET")


def request(url: str, method: str) -> tuple[str, list[str]]:
    with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10) as response:
        # get_all keeps repeated fields apart; never use headers["Link"],
        # which returns the first field only.
        values: list[str] = response.headers.get_all("Link") or []
        return response.geturl(), values


def is_http_url(text: str) -> bool:
    """An absolute http or https URL that http.client can send as it is: no
    controls or spaces, ASCII after the host (which may be an IDN), a port
    that is a number from 1 to 65535."""
    try:
        parts = urllib.parse.urlsplit(text)
        port_ok = parts.port is None or parts.port > 0
    except ValueError:
        return False
    return (
        parts.scheme in ("http", "https")
        and bool(parts.hostname)
        and port_ok
        and re.search(r"[\x00-\x20\x7f]", text) is None
        and (parts.path + parts.query + parts.fragment).isascii()
    )


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
    if len(argv) != 1 or not is_http_url(argv[0]):
        print("usage: discover.py URL  (an http or https URL; --help for more)", file=sys.stderr)
        return EX_USAGE
    try:
        base, values = fetch_link_values(argv[0])
    except (OSError, http.client.HTTPException, ValueError) as error:
        # URLError is an OSError; a malformed response is an HTTPException, a
        # redirect to a malformed URL a ValueError.
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
