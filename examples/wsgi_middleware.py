"""A WSGI middleware that advertises the C2PA manifest of image responses.

Wrap any WSGI application (Django, Falcon, wsgiref, ...):

    application = ManifestLinkMiddleware(application, manifest_for)

With Flask, wrap its WSGI callable and keep the Flask object, so that
`app.route` and the rest still work:

    app.wsgi_app = ManifestLinkMiddleware(app.wsgi_app, manifest_for)

For each successful (2xx) response whose Content-Type is an image, the
middleware asks `manifest_for` for the manifest URL of the request path and
adds a Link header written by manilink.format; errors and redirects get
none. `manifest_for` may return any text (a space or a non-ASCII letter is
percent-encoded) or None for no header.

Run directly, it serves a small demonstration application with wsgiref:

    python examples/wsgi_middleware.py [--bind ADDRESS] [--port PORT]

where /images/NAME.EXT answers with an image advertising /manifests/NAME.c2pa
and /missing/NAME.EXT with a 404 image, which advertises nothing. The first
line printed is `serving the demo at http://ADDRESS:PORT/`, so --port 0 (any
free port) works for scripts.
"""

from __future__ import annotations

import argparse
import posixpath
import sys
from collections.abc import Iterable
from typing import TYPE_CHECKING, Callable
from wsgiref.simple_server import make_server

import manilink

if TYPE_CHECKING:
    from _typeshed import OptExcInfo
    from _typeshed.wsgi import StartResponse, WSGIApplication, WSGIEnvironment


class ManifestLinkMiddleware:
    """Adds `Link: <manifest>; rel="c2pa-manifest"` to successful image responses."""

    def __init__(self, app: WSGIApplication, manifest_for: Callable[[str], str | None]) -> None:
        self.app = app
        self.manifest_for = manifest_for

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        def start(
            status: str, headers: list[tuple[str, str]], exc_info: OptExcInfo | None = None
        ) -> Callable[[bytes], object]:
            content_type = next(
                (value for name, value in headers if name.lower() == "content-type"), ""
            )
            if status.startswith("2") and content_type.lower().startswith("image/"):
                target = self.manifest_for(request_path(environ))
                if target:
                    headers = headers + [("Link", manilink.format(target))]
            return start_response(status, headers, exc_info)

        return self.app(environ, start)


def request_path(environ: WSGIEnvironment) -> str:
    """PATH_INFO as text: WSGI hands it over as UTF-8 bytes read as latin-1."""
    path: str = environ.get("PATH_INFO", "") or "/"
    return path.encode("latin-1").decode("utf-8", "replace")


# An 8-byte PNG signature stands in for a real image.
DEMO_IMAGE = b"\x89PNG\r\n\x1a\n"


def demo_app(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
    """Answers /images/* with an image, /missing/* with a 404 image (a
    placeholder) and everything else with a 404 text."""
    path = request_path(environ)
    if path.startswith("/images/"):
        status, content_type, body = "200 OK", "image/png", DEMO_IMAGE
    elif path.startswith("/missing/"):
        status, content_type, body = "404 Not Found", "image/png", DEMO_IMAGE
    else:
        status, content_type, body = "404 Not Found", "text/plain", b"not found\n"
    start_response(status, [("Content-Type", content_type), ("Content-Length", str(len(body)))])
    return [] if environ["REQUEST_METHOD"] == "HEAD" else [body]


def demo_manifest_for(path: str) -> str:
    """/images/NAME.EXT has its manifest at /manifests/NAME.c2pa."""
    return "/manifests/" + posixpath.splitext(posixpath.basename(path))[0] + ".c2pa"


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=8000, help="0 picks a free port")
    options = parser.parse_args(argv)
    app = ManifestLinkMiddleware(demo_app, demo_manifest_for)
    with make_server(options.bind, options.port, app) as server:
        print("serving the demo at http://%s:%d/" % (options.bind, server.server_port), flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main(sys.argv[1:])
