"""Real HTTP over loopback: servers advertise with format/format_strict,
clients discover with extract/locate_all, and what was sent is what is found.

The servers (http.server and wsgiref) run in threads of this process on
127.0.0.1; nothing else is reached. A client library that is not installed
skips its tests.
"""

import asyncio
import http.client
import http.server
import socket
import subprocess
import sys
import threading
import urllib.parse
import urllib.request
from wsgiref.simple_server import WSGIRequestHandler, make_server

import pytest

import manilink

OTHER = "</style.css>; rel=stylesheet"


def lenient(target):
    return ("format", target)


def strict(target):
    return ("format_strict", target)


# name: (Link fields, each a list of link-values, and the links a client must
# find, as (uri, jumbf)). A tuple is formatted by the server; text is sent as is.
SCENARIOS = {
    "single": ([[lenient("/manifests/photo.c2pa")]], [("/manifests/photo.c2pa", None)]),
    "strict": (
        [[strict("https://cdn.example/m/1.c2pa?v=2")]],
        [("https://cdn.example/m/1.c2pa?v=2", None)],
    ),
    "embedded": (
        [[lenient("/photo.jpg#JUMBF=c2pa/urn:uuid:1/c2pa.assertions")]],
        [("/photo.jpg#jumbf=c2pa", "c2pa")],
    ),
    "several-fields": (
        [
            [OTHER],
            [lenient("/m.c2pa")],
            ['<https://example.com/>; rel="canonical"'],
            [strict("/m.c2pa")],
        ],
        [("/m.c2pa", None), ("/m.c2pa", None)],
    ),
    "mixed-in-one-field": (
        [[OTHER, lenient("/m.c2pa"), '</next>; title="a, b"; rel="next"']],
        [("/m.c2pa", None)],
    ),
    "several-relations": ([['</m.c2pa>; rel="alternate c2pa-manifest"']], [("/m.c2pa", None)]),
    "escaped-crlf": (
        [[lenient("/a b\r\nSet-Cookie: x=1")]],
        [("/a%20b%0D%0ASet-Cookie:%20x=1", None)],
    ),
    "escaped-quotes": (
        [[lenient('/say "hi">; rel=next<.c2pa')]],
        [("/say%20%22hi%22%3E;%20rel=next%3C.c2pa", None)],
    ),
    "escaped-non-ascii": (
        [[lenient("/caf\u00e9/\u5199\u771f.c2pa")]],
        [("/caf%C3%A9/%E5%86%99%E7%9C%9F.c2pa", None)],
    ),
    "escaped-embedded": (
        [[lenient('/my "photo".jpg#jumbf=c2pa/x y')]],
        [("/my%20%22photo%22.jpg#jumbf=c2pa", "c2pa")],
    ),
    "reserved-kept": ([[lenient("/m.c2pa;v=1,2"), OTHER]], [("/m.c2pa;v=1,2", None)]),
    "conflict": (
        [[lenient("/a.c2pa")], [OTHER, lenient("/b.c2pa")]],
        [("/a.c2pa", None), ("/b.c2pa", None)],
    ),
    "other-relations-only": ([[OTHER], ["</next>; rel=next"]], []),
    "no-link": ([], []),
}


def header_values(scenario):
    """The Link field values the servers send for `scenario`, in order."""

    def render(part):
        return part if isinstance(part, str) else getattr(manilink, part[0])(part[1])

    return [", ".join(render(part) for part in field) for field in SCENARIOS[scenario][0]]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        for value in header_values(self.path.lstrip("/")):
            self.send_header("Link", value)
        self.send_header("Content-Type", "image/jpeg")
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_HEAD = do_GET

    def log_message(self, *args):
        pass


def wsgi_app(environ, start_response):
    headers = [("Link", value) for value in header_values(environ["PATH_INFO"].lstrip("/"))]
    start_response("200 OK", headers + [("Content-Type", "image/jpeg"), ("Content-Length", "0")])
    return []


class QuietWSGIHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def servers():
    with pytest.MonkeyPatch.context() as patch:
        for name in (
            "http_proxy",
            "https_proxy",
            "all_proxy",
            "HTTP_PROXY",
            "HTTPS_PROXY",
            "ALL_PROXY",
        ):
            patch.delenv(name, raising=False)
        started = {
            "http.server": http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler),
            "wsgiref": make_server("127.0.0.1", 0, wsgi_app, handler_class=QuietWSGIHandler),
        }
        threads = [threading.Thread(target=s.serve_forever, daemon=True) for s in started.values()]
        for thread in threads:
            thread.start()
        yield {name: "http://127.0.0.1:%d/" % s.server_address[1] for name, s in started.items()}
        for server in started.values():
            server.shutdown()
            server.server_close()


def via_urllib(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return response.headers.get_all("Link") or []


def via_http_client(url):
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=5)
    try:
        connection.request("HEAD", parts.path)
        response = connection.getresponse()
        response.read()
        return [value for name, value in response.getheaders() if name.lower() == "link"]
    finally:
        connection.close()


def via_requests(url):
    requests = pytest.importorskip("requests")
    # requests folds repeated fields into one value, joined with ", ".
    joined = requests.get(url, timeout=5).headers.get("Link")
    return [joined] if joined is not None else []


def via_urllib3(url):
    urllib3 = pytest.importorskip("urllib3")
    return urllib3.PoolManager().request("GET", url, timeout=5).headers.getlist("Link")


def via_httpx(url):
    httpx = pytest.importorskip("httpx")
    return httpx.get(url, timeout=5).headers.get_list("Link")


def via_aiohttp(url):
    aiohttp = pytest.importorskip("aiohttp")

    async def fetch():
        timeout = aiohttp.ClientTimeout(total=5)
        async with aiohttp.ClientSession(timeout=timeout) as session, session.get(url) as response:
            return response.headers.getall("Link", [])

    return asyncio.run(fetch())


CLIENTS = {
    "urllib.request": via_urllib,
    "http.client": via_http_client,
    "requests": via_requests,
    "urllib3": via_urllib3,
    "httpx": via_httpx,
    "aiohttp": via_aiohttp,
}


@pytest.mark.parametrize("scenario", list(SCENARIOS))
@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("server", ["http.server", "wsgiref"])
def test_client_finds_what_the_server_advertises(servers, server, client, scenario):
    sent = header_values(scenario)
    received = CLIENTS[client](servers[server] + scenario)
    if client == "requests":
        assert received == ([", ".join(sent)] if sent else [])
    else:
        assert received == sent
    expected = [
        {"uri": uri, "jumbf": jumbf, "is_embedded": jumbf is not None}
        for uri, jumbf in SCENARIOS[scenario][1]
    ]
    assert manilink.locate_all(received) == expected
    distinct = {(link["uri"], link["jumbf"]) for link in expected}
    if len(distinct) > 1:
        with pytest.raises(ValueError, match="^more than one c2pa-manifest target"):
            manilink.extract(received)
    else:
        assert manilink.extract(received) == (expected[0] if expected else None)


def raw_response_head(url):
    parts = urllib.parse.urlsplit(url)
    with socket.create_connection((parts.hostname, parts.port), timeout=5) as sock:
        sock.sendall(b"GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % parts.path.encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(4096)
            assert chunk, "connection closed before the end of the header"
            data += chunk
    return data.split(b"\r\n\r\n", 1)[0].split(b"\r\n")[1:]


@pytest.mark.parametrize("server", ["http.server", "wsgiref"])
@pytest.mark.parametrize(
    "scenario, wire",
    [
        ("escaped-crlf", b'Link: </a%20b%0D%0ASet-Cookie:%20x=1>; rel="c2pa-manifest"'),
        ("escaped-non-ascii", b'Link: </caf%C3%A9/%E5%86%99%E7%9C%9F.c2pa>; rel="c2pa-manifest"'),
    ],
)
def test_escaped_target_stays_one_ascii_header_line(servers, server, scenario, wire):
    lines = raw_response_head(servers[server] + scenario)
    assert [line for line in lines if line.lower().startswith(b"link:")] == [wire]
    assert not any(line.lower().startswith(b"set-cookie") for line in lines)
    assert all(line.isascii() for line in lines)


def test_module_imports_nothing():
    code = (
        "import sys; before = set(sys.modules); import manilink; "
        "print(sorted(set(sys.modules) - before))"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    assert result.stdout.strip() == "['manilink']"
