"""Advertise a C2PA Manifest Store over real HTTP and discover it again.

A small server on 127.0.0.1 (a free port) answers every request with an image
whose `Link` header is written by manilink.format; a urllib client fetches it,
gathers every `Link` value of the response and finds the manifest with
manilink.extract. Starts and stops by itself.
"""

import http.server
import threading
import urllib.request

import manilink

# A target that needs escaping (a space and a non-ASCII letter) and points
# into a manifest embedded in the image itself.
MANIFEST_TARGET = "/media/caf\u00e9 photo.jpg#jumbf=c2pa/urn:uuid:0e5b/c2pa.assertions"


class ImageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        body = b"\xff\xd8\xff\xd9"  # an empty JPEG
        self.send_response(200)
        self.send_header("Content-Type", "image/jpeg")
        self.send_header("Content-Length", str(len(body)))
        # Two Link fields: one of another relation, one advertising the manifest.
        self.send_header("Link", '</media/next.jpg>; rel="next"')
        self.send_header("Link", manilink.format(MANIFEST_TARGET))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        pass


def main() -> None:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ImageHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        url = "http://127.0.0.1:%d/media/photo.jpg" % server.server_address[1]
        with urllib.request.urlopen(url, timeout=10) as response:
            # Every Link field of the response: a repeated field is never lost.
            link_values: list[str] = response.headers.get_all("Link") or []
        print("server sent Link:", manilink.format(MANIFEST_TARGET))
        print("client received", len(link_values), "Link values from", url)
        found = manilink.extract(link_values)
        print("manifest:", found)
        if found is None or not found["is_embedded"]:
            raise SystemExit("the advertised manifest was not found")
    finally:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    main()
