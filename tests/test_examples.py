"""Every script in examples/ runs: the servers advertise over loopback and the
discovery client reports what they advertise."""

import ast
import os
import re
import socket
import subprocess
import sys
import threading
import urllib.error
import urllib.request

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def example(name):
    return os.path.join(EXAMPLES, name)


def clean_env():
    env = dict(os.environ)
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        env.pop(name, None)
    return env


def start_server(*args):
    """Start an example server on a free port; returns (process, base URL)."""
    process = subprocess.Popen(
        [sys.executable, *args, "--port", "0"], stdout=subprocess.PIPE, text=True, env=clean_env()
    )
    line = process.stdout.readline()
    if not line:
        process.kill()
        pytest.fail("%s printed nothing (exit status %s)" % (args[0], process.wait()))
    process.first_line = line
    return process, line.split(" at ", 1)[1].strip()


def stop(process):
    process.terminate()
    process.wait(timeout=10)
    process.stdout.close()


def discover(*args):
    result = subprocess.run(
        [sys.executable, example("discover.py"), *args],
        capture_output=True,
        text=True,
        timeout=30,
        env=clean_env(),
    )
    return result.returncode, result.stdout


@pytest.fixture(scope="module")
def folder_server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("site")
    for name in (
        "photo.jpg",
        "photo.c2pa",
        "my caf\u00e9.jpg",
        "my caf\u00e9.c2pa",
        "odd#name?.png",
        "odd#name?.c2pa",
        "plain.txt",
    ):
        (folder / name).write_bytes(b"x")
    process, base = start_server(example("serve_manifest.py"), str(folder))
    yield base
    stop(process)


@pytest.fixture(scope="module")
def wsgi_process():
    process, base = start_server(example("wsgi_middleware.py"))
    yield process, base
    stop(process)


@pytest.fixture(scope="module")
def wsgi_server(wsgi_process):
    return wsgi_process[1]


@pytest.mark.parametrize(
    "path, status, expected",
    [
        ("photo.jpg", 0, "manifest: {base}photo.c2pa\n"),
        ("my%20caf%C3%A9.jpg", 0, "manifest: {base}my%20caf%C3%A9.c2pa\n"),
        ("odd%23name%3F.png", 0, "manifest: {base}odd%23name%3F.c2pa\n"),
        ("plain.txt", 1, "no manifest advertised\n"),
        ("photo.c2pa", 1, "no manifest advertised\n"),
        ("", 1, "no manifest advertised\n"),
        ("missing.jpg", 3, ""),
    ],
)
def test_folder_server_advertises_sidecar_manifests(folder_server, path, status, expected):
    assert discover(folder_server + path) == (status, expected.format(base=folder_server))


@pytest.mark.parametrize(
    "path, status, expected",
    [
        ("images/photo.png", 0, "manifest: {base}manifests/photo.c2pa\n"),
        ("images/new%20shot.jpg", 0, "manifest: {base}manifests/new%20shot.c2pa\n"),
        ("about", 3, ""),
        ("missing/photo.png", 3, ""),
    ],
)
def test_wsgi_middleware_advertises_for_images(wsgi_server, path, status, expected):
    assert discover(wsgi_server + path) == (status, expected.format(base=wsgi_server))


@pytest.mark.parametrize("path", ["missing/photo.png", "about"])
def test_wsgi_demo_errors_carry_no_manifest(wsgi_server, path):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with pytest.raises(urllib.error.HTTPError) as error:
        opener.open(wsgi_server + path, timeout=30)
    with error.value as response:  # closes its socket
        assert response.code == 404
        assert response.headers.get_all("Link") is None


def printed_first(name):
    """The pattern of the first line that the example's docstring promises."""
    with open(example(name), encoding="utf-8") as source:
        doc = ast.get_docstring(ast.parse(source.read()))
    promised = re.search(r"The first\s+line\s+printed\s+is\s+`([^`]+)`", doc).group(1)
    pattern = re.escape(promised)
    for word, what in [("FOLDER", r"\S+"), ("ADDRESS", r"[0-9.]+"), ("PORT", r"[0-9]+")]:
        pattern = pattern.replace(word, what)
    return pattern


def test_servers_print_what_their_docstrings_say(wsgi_process):
    process = wsgi_process[0]
    assert re.fullmatch(printed_first("wsgi_middleware.py"), process.first_line.strip())
    # The folder server's line, printed again by a second one on its own folder.
    second, _ = start_server(example("serve_manifest.py"), EXAMPLES)
    try:
        assert re.fullmatch(printed_first("serve_manifest.py"), second.first_line.strip())
    finally:
        stop(second)


@pytest.mark.parametrize(
    "args, status",
    [
        ([], 64),
        (["http://127.0.0.1:9/a", "http://127.0.0.1:9/b"], 64),
        (["--url"], 64),
        (["http://127.0.0.1:9/a\nb"], 64),
        (["http://127.0.0.1:9/a b"], 64),
        (["http://127.0.0.1:9/\u00e9"], 64),
        (["http://127.0.0.1:x/"], 64),
        (["http://[::1/"], 64),
        (["ftp://127.0.0.1/"], 64),
        (["photo.jpg"], 64),
        (["--help"], 0),
        (["-h"], 0),
    ],
)
def test_discover_command_line(args, status):
    code, out = discover(*args)
    assert code == status
    assert ("Exit status:" in out) == (status == 0)


def test_discover_request_failures():
    """A refused connection and a reply that is not HTTP: status 3, no traceback."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        base = "http://127.0.0.1:%d/" % listener.getsockname()[1]

        def garbage():
            connection, _ = listener.accept()
            with connection:
                connection.recv(4096)
                connection.sendall(b"garbage\r\n\r\n")

        replier = threading.Thread(target=garbage)
        replier.start()
        assert discover(base) == (3, "")
        replier.join()
    assert discover(base) == (3, "")


def load_middleware():
    sys.path.insert(0, EXAMPLES)
    try:
        import wsgi_middleware
    finally:
        sys.path.remove(EXAMPLES)
    return wsgi_middleware


@pytest.mark.parametrize(
    "status, content_type, manifest, link",
    [
        ("200 OK", "image/jpeg", "/m/a b.c2pa", '</m/a%20b.c2pa>; rel="c2pa-manifest"'),
        ("200 OK", "Image/PNG", "/m.c2pa#jumbf=c2pa", '</m.c2pa#jumbf=c2pa>; rel="c2pa-manifest"'),
        ("206 Partial Content", "image/jpeg", "/m.c2pa", '</m.c2pa>; rel="c2pa-manifest"'),
        ("200 OK", "image/png", None, None),
        ("200 OK", "text/html", "/m.c2pa", None),
        ("404 Not Found", "image/png", "/m.c2pa", None),
        ("304 Not Modified", "image/png", "/m.c2pa", None),
        ("500 Internal Server Error", "image/png", "/m.c2pa", None),
    ],
)
def test_middleware_adds_link_to_successful_image_responses_only(
    status, content_type, manifest, link
):
    module = load_middleware()
    seen = {}

    def app(environ, start_response):
        start_response(status, [("Content-Type", content_type), ("Link", "</n>; rel=next")])
        return [b"body"]

    def start_response(status, headers, exc_info=None):
        seen["headers"] = headers
        return lambda data: None

    wrapped = module.ManifestLinkMiddleware(app, lambda path: manifest)
    assert list(wrapped({"PATH_INFO": "/x", "REQUEST_METHOD": "GET"}, start_response)) == [b"body"]
    links = [value for name, value in seen["headers"] if name == "Link"]
    assert links == ["</n>; rel=next"] + ([link] if link else [])


def test_discover_reports_conflicts_and_embedded_manifests():
    module_code = (
        "import http.server, urllib.parse, manilink\n"
        "class H(http.server.BaseHTTPRequestHandler):\n"
        "    def do_HEAD(self):\n"
        "        self.send_response(200)\n"
        "        for t in self.path.split('!')[1:]:\n"
        "            self.send_header('Link', manilink.format(urllib.parse.unquote(t)))\n"
        "        self.end_headers()\n"
        "    def log_message(self, *a): pass\n"
        "s = http.server.ThreadingHTTPServer(('127.0.0.1', 0), H)\n"
        "print('serving at http://127.0.0.1:%d/' % s.server_address[1], flush=True)\n"
        "s.serve_forever()\n"
    )
    process, base = start_server("-c", module_code)
    try:
        assert discover(base + "x!/a.c2pa!/b.c2pa") == (
            2,
            "conflicting manifests advertised:\n  %sa.c2pa\n  %sb.c2pa\n" % (base, base),
        )
        assert discover(base + "x!/p.jpg%23jumbf=c2pa/urn:1") == (
            0,
            "manifest: %sp.jpg#jumbf=c2pa (embedded, jumbf=c2pa)\n" % base,
        )
    finally:
        stop(process)


@pytest.mark.parametrize("name", ["roundtrip.py"])
def test_self_contained_example_runs(name):
    if not os.path.exists(example(name)):
        pytest.skip("%s is not there" % name)
    result = subprocess.run(
        [sys.executable, example(name)], capture_output=True, text=True, timeout=60, env=clean_env()
    )
    assert result.returncode == 0, result.stderr
