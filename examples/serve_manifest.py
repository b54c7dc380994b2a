"""Serve a folder over HTTP and advertise the C2PA manifest of each file.

A file such as photo.jpg that has a sidecar manifest photo.c2pa beside it is
served with the header

    Link: </photo.c2pa>; rel="c2pa-manifest"

written by manilink.format. Files without a sidecar, folder listings and
errors get no such header.

    python examples/serve_manifest.py [--bind ADDRESS] [--port PORT] [FOLDER]

The first line printed is `serving FOLDER at http://ADDRESS:PORT/`, so
--port 0 (any free port) works for scripts. Stop it with Ctrl-C.
"""

from __future__ import annotations

import argparse
import functools
import os
import posixpath
import sys
import urllib.parse
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

import manilink


class ManifestHandler(SimpleHTTPRequestHandler):
    """SimpleHTTPRequestHandler that adds the manifest link of a served file."""

    def end_headers(self) -> None:
        target = self.manifest_target()
        if target is not None:
            self.send_header("Link", manilink.format(target))
        super().end_headers()

    def manifest_target(self) -> str | None:
        """The URL path of the requested file's sidecar manifest, if it has one."""
        path = self.translate_path(self.path)
        if not os.path.isfile(path) or path.endswith(".c2pa"):
            return None
        if not os.path.isfile(os.path.splitext(path)[0] + ".c2pa"):
            return None
        url_path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        # quote() escapes "?", "#" and "%" in file names, which a URI may hold
        # literally with another meaning; format() escapes the rest (spaces,
        # quotes, non-ASCII letters, ...) and can never emit a broken header.
        return urllib.parse.quote(posixpath.splitext(url_path)[0] + ".c2pa")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=8000, help="0 picks a free port")
    parser.add_argument("folder", nargs="?", default=os.curdir, help="folder to serve")
    options = parser.parse_args(argv)
    handler = functools.partial(ManifestHandler, directory=options.folder)
    with ThreadingHTTPServer((options.bind, options.port), handler) as server:
        port = server.server_address[1]
        print("serving %s at http://%s:%d/" % (options.folder, options.bind, port), flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main(sys.argv[1:])
