"""Run the documentation's code samples as printed, with the installed module.

Every ```python block of README.md, CONTRIBUTING.md and docs/**/*.md is run
here, each with what it needs around it (a server on 127.0.0.1, a WSGI
application, a response object), and what it promises is checked: the
http.server handler advertises the sidecar of a served .jpg, also under a
query string, and nothing on an error; the WSGI middleware adds the header to
successful image responses only, and keeps a Flask object; each HTTP client
recipe finds the manifest in the second of two Link fields; the anchor recipe
leaves out links about another resource; the snippets give the values their
comments show. Every ```pycon block runs as a doctest, one namespace per
file. A python block this script does not know fails the check, so that a new
recipe gets a check too. Every relative link between these files must name a
file and a heading that exist.

    python3 scripts/test.py -s readme docs
    python scripts/check_readme.py        # in any venv with manilink installed
"""

import ast
import doctest
import glob
import io
import os
import re
import sys
import tempfile
import threading
import types
import urllib.error
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAILURES = []


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what, flush=True)
    if not ok:
        FAILURES.append(what)


def blocks(text, language="python"):
    return re.findall(r"^```%s\n(.*?)^```$" % language, text, re.DOTALL | re.MULTILINE)


def run_block(code, namespace):
    exec(compile(code, "<documentation>", "exec"), namespace)  # noqa: S102 (the docs' own code)
    return namespace


def no_proxy_opener():
    return urllib.request.build_opener(urllib.request.ProxyHandler({}))


def fetch(url):
    """(status, every Link value) of a GET, errors included."""
    try:
        with no_proxy_opener().open(url, timeout=30) as response:
            return response.status, response.headers.get_all("Link") or []
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get_all("Link") or []


def serve(handler_class, folder):
    import functools

    server = ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(handler_class, directory=folder)
    )
    server.handler_class = handler_class
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d" % server.server_address[1]


def quiet(handler_class):
    class Quiet(handler_class):
        def log_message(self, *args):
            pass

    return Quiet


def check_http_server(code):
    namespace = run_block(code, {"__name__": "readme"})
    with tempfile.TemporaryDirectory() as folder:
        for name in ("photo.jpg", "photo.c2pa", "my photo.jpg", "notes.txt"):
            with open(os.path.join(folder, name), "wb") as out:
                out.write(b"x")
        server, base = serve(quiet(namespace["Handler"]), folder)
        try:
            want = ['</photo.c2pa>; rel="c2pa-manifest"']
            check(fetch(base + "/photo.jpg") == (200, want), "http.server: /photo.jpg")
            check(
                fetch(base + "/photo.jpg?v=2") == (200, want),
                "http.server: a query string (/photo.jpg?v=2)",
            )
            check(
                fetch(base + "/my%20photo.jpg")
                == (200, ['</my%20photo.c2pa>; rel="c2pa-manifest"']),
                "http.server: an encoded path (/my%20photo.jpg)",
            )
            check(
                fetch(base + "/missing.jpg") == (404, []),
                "http.server: no manifest on an error (404)",
            )
            check(fetch(base + "/notes.txt") == (200, []), "http.server: other files")
        finally:
            server.shutdown()
            server.server_close()
    return server, base


def check_wsgi(code):
    """The WSGI block wraps `application`, the Flask block `app.wsgi_app`."""
    from wsgiref.util import setup_testing_defaults

    def application(environ, start_response):
        path = environ["PATH_INFO"]
        kind = "image/jpeg" if path.endswith(".jpg") else "text/plain"
        start_response("404 Not Found" if "missing" in path else "200 OK", [("Content-Type", kind)])
        return [b"x"]

    flask = types.SimpleNamespace(wsgi_app=application)  # what the recipe touches
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    try:
        namespace = run_block(
            code, {"__name__": "readme", "application": application, "app": flask}
        )
    finally:
        sys.path.pop(0)
    if "app.wsgi_app =" in code:
        check(namespace["app"] is flask, "WSGI middleware: the Flask object is kept")
        name, wrapped = "Flask", namespace["app"].wsgi_app
    else:
        name, wrapped = "application", namespace["application"]
    check(wrapped is not application, "WSGI middleware (%s) wraps the application" % name)
    for path, want in [
        ("/photo.jpg", ['</manifests/photo.jpg.c2pa>; rel="c2pa-manifest"']),
        ("/notes.txt", []),
        ("/missing.jpg", []),
    ]:
        environ = {"PATH_INFO": path}
        setup_testing_defaults(environ)
        seen = {}

        def start_response(status, headers, exc_info=None):
            seen["links"] = [v for k, v in headers if k.lower() == "link"]  # noqa: B023
            return lambda data: None

        b"".join(wrapped(environ, start_response))
        check(seen.get("links") == want, "WSGI middleware (%s): %s -> %s" % (name, path, want))


class TwoLinkFields(BaseHTTPRequestHandler):
    """Answers every request with two Link fields, the manifest in the second,
    so that a client reading only the first one misses it."""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Link", '</media/next.jpg>; rel="next"')
        self.send_header("Link", '<photo.c2pa>; rel="c2pa-manifest"')
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_HEAD = do_GET

    def log_message(self, *args):
        pass


def check_client(code):
    """A client recipe, given `url`, finds the manifest of the second field."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), TwoLinkFields)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/media/photo.jpg?v=2" % server.server_address[1]
    try:
        urllib.request.install_opener(no_proxy_opener())
        result = run_block(code, {"__name__": "readme", "url": url})
    finally:
        server.shutdown()
        server.server_close()
    want = {"uri": "photo.c2pa", "jumbf": None, "is_embedded": False}
    ok = result.get("found") == want
    if "manifest_url" in code:
        ok = ok and result.get("manifest_url") == urllib.parse.urljoin(url, "photo.c2pa")
    check(ok, "client recipe finds %r" % (result.get("found"),))


def check_pycon(name, code, namespace):
    """A ```pycon block as a doctest, in the namespace of its file."""
    test = doctest.DocTestParser().get_doctest(code, namespace, name, name, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = io.StringIO()
    runner.run(test, out=report.write, clear_globs=False)
    namespace.update(test.globs)  # the doctest ran on a copy
    check(runner.failures == 0, "%s: the pycon block opening %r" % (name, code.splitlines()[0]))
    if runner.failures:
        print(report.getvalue())


def check_anchor(code):
    own_manifest = run_block(code, {"__name__": "readme"})["own_manifest"]
    a, b = '</a.c2pa>; rel="c2pa-manifest"', '</b.c2pa>; rel="c2pa-manifest"'
    cases = [
        ([a, b + '; anchor="/other.jpg"'], "/a.c2pa"),
        ([b + "; ANCHOR=/o", '</n>; rel=next; anchor="#x", ' + a], None),
        (['</n>; rel=next; anchor="#x"', a], "/a.c2pa"),
        ([a, b], ValueError),
    ]
    for values, want in cases:
        try:
            found = own_manifest(values)
            got = found and found["uri"]
        except ValueError:
            got = ValueError
        check(got == want, "anchor recipe: %r -> %r" % (values, want))


def heading_anchor(title):
    return re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")


def check_links(texts):
    """Every relative link names a file that exists and a heading it has."""
    anchors = {}
    for name, text in texts.items():
        prose = re.sub(r"^```.*?^```$", "", text, flags=re.DOTALL | re.MULTILINE)
        anchors[name] = {heading_anchor(t) for t in re.findall(r"^#+ (.*)$", prose, re.MULTILINE)}
    for name, text in texts.items():
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(name), path)) if path else name
            if os.path.isdir(os.path.join(ROOT, path)):
                path = os.path.join(path, "index.md")
            ok = os.path.exists(os.path.join(ROOT, path)) and (
                not anchor or anchor in anchors.get(path, ())
            )
            check(ok, "%s links to %s" % (name, target))


class Response:
    """What the advertising snippet assigns to: headers only."""

    def __init__(self):
        self.headers = {}


def comment_value(code, marker):
    """The Python value written in the comment line that follows `marker`."""
    lines = code.splitlines()
    for i, line in enumerate(lines):
        if marker in line:
            return ast.literal_eval(lines[i + 1].strip().lstrip("#").strip())
    raise LookupError(marker)


def main():
    import manilink

    print("manilink %s from %s" % (manilink.__version__, manilink.__file__))
    for name in ("http_proxy", "https_proxy", "all_proxy"):  # loopback only
        os.environ.pop(name, None)
        os.environ.pop(name.upper(), None)
    names = ["README.md", "CONTRIBUTING.md"] + sorted(
        os.path.relpath(path, ROOT)
        for path in glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True)
    )
    texts = {}
    for name in names:
        with open(os.path.join(ROOT, name), encoding="utf-8") as doc:
            texts[name] = doc.read()
    check_links(texts)
    found = [(name, b) for name, text in texts.items() for b in blocks(text)]
    for name, code in found:
        first = code.strip().splitlines()[0]
        try:
            check_block(code, first, manilink)
        except Exception as error:  # noqa: BLE001 (a recipe that does not run as printed)
            check(
                False,
                "%s: the block opening %r raised %s: %s"
                % (name, first, type(error).__name__, error),
            )
    sessions = [(name, b) for name, text in texts.items() for b in blocks(text, "pycon")]
    for name, text in texts.items():
        namespace = {"__name__": "readme"}
        for code in blocks(text, "pycon"):
            check_pycon(name, code, namespace)
    check(len(found) >= 14, "%d python blocks checked" % len(found))
    check(len(sessions) >= 13, "%d pycon blocks checked" % len(sessions))
    print("documentation samples: %d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


def check_block(code, first, manilink):
    """Runs one block with what it needs and checks what it promises."""
    if "class Handler(SimpleHTTPRequestHandler)" in code:
        check_http_server(code)
    elif "ManifestLinkMiddleware(" in code:
        check_wsgi(code)
    elif "def own_manifest(" in code:
        check_anchor(code)
    elif "found = " in code and re.search(r"\burl\b", code):
        check_client(code)
    elif "InternalFailure" in code:
        messages = []
        log = types.SimpleNamespace(error=lambda *args: messages.append(args))
        result = run_block(
            code, {"__name__": "readme", "manilink": manilink, "target": "/a b", "log": log}
        )
        check(
            result["value"] == '</a%20b>; rel="c2pa-manifest"' and not messages,
            "InternalFailure recipe passes a good result through",
        )
        try:
            run_block(code, {"__name__": "readme", "manilink": manilink, "target": 5, "log": log})
            check(False, "InternalFailure recipe lets other errors through")
        except TypeError:
            check(True, "InternalFailure recipe lets other errors through")
    elif "value = manilink.format(" in code:
        response = Response()
        result = run_block(code, {"__name__": "readme", "response": response})
        want = comment_value(code, "value = manilink.format(")
        check(
            result["value"] == want and response.headers["Link"] == want,
            "advertising snippet gives %r" % want,
        )
    elif "def manifest_of(" in code:
        result = run_block(code, {"__name__": "readme"})
        check(
            result["manifest_of"](['<a>; rel="c2pa-manifest"'])
            == {"uri": "a", "jumbf": None, "is_embedded": False},
            "typing snippet runs",
        )
    else:
        check(False, "a python block this script does not check: " + first)


if __name__ == "__main__":
    sys.stdout = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", line_buffering=True)
    sys.exit(main())
