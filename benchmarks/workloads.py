"""Inputs and contenders for benchmarks/run.py."""

import re
import urllib.parse

MIB = 1 << 20
REL = "c2pa-manifest"

# urllib.parse.quote always keeps letters, digits and "_.-~"; these are the
# rest of manilink's 85 literal bytes.
QUOTE_SAFE = "!#$%&'()*+,/:;=?@[]"
STRICT_TARGET = re.compile(r"[A-Za-z0-9\-._~:/?#\[\]@!$&'()*+,;=%]+")


def quote_target(uri):
    return urllib.parse.quote(uri, safe=QUOTE_SAFE)


def quote_format(uri):
    return f'<{urllib.parse.quote(uri, safe=QUOTE_SAFE)}>; rel="{REL}"'


def regex_format_strict(uri):
    if not STRICT_TARGET.fullmatch(uri):
        raise ValueError("target URI contains characters that a URI must percent-encode")
    return f'<{uri}>; rel="{REL}"'


def requests_locate_all(values):
    """requests' parser, kept to the links whose rel holds c2pa-manifest."""
    from requests.utils import parse_header_links

    return [
        link["url"]
        for value in values
        for link in parse_header_links(value)
        if REL in link.get("rel", "").lower().split()
    ]


def requests_extract(values):
    targets = requests_locate_all(values)
    if not targets:
        return None
    if any(target != targets[0] for target in targets):
        raise ValueError("more than one c2pa-manifest target was advertised")
    return targets[0]


def repeat_to(unit, size):
    """`unit` repeated to exactly `size` UTF-8 bytes (unit must be ASCII)."""
    return (unit * (size // len(unit) + 1))[:size]


def literal_text(size):
    return repeat_to("/media/2024/photo-0001_v2.jpg?w=640&h=480;q=85#frag~", size)


def non_ascii_text(size):
    # Two-, three- and four-byte characters; 13 UTF-8 bytes per unit.
    unit = "\u00e9\u00fc\u20ac\u65e5\U0001f600"
    text = unit * (size // 13)
    while len(text.encode()) < size:
        text += "\u00e9" if size - len(text.encode()) >= 2 else "x"
    return text


def text_workloads():
    """(key, title, uri, literal_only): what encode_target, format and
    format_strict are timed on."""
    url40 = "https://example.com/media/photo-0001.jpg"
    assert len(url40) == 40
    return [
        ("url40", "40 B URL, nothing to escape", url40, True),
        (
            "url_escape",
            "short URL with spaces and non-ASCII",
            "https://example.com/Fotos aus K\u00f6ln/caf\u00e9 am Dom.jpg",
            False,
        ),
        ("lit1k", "1 KiB literal-only text", literal_text(1024), True),
        ("lit1m", "1 MiB literal-only text", literal_text(MIB), True),
        ("nonascii1m", "1 MiB non-ASCII text", non_ascii_text(MIB), False),
    ]


SWEEP_SIZES = [0, 16, 256, 4096, 65536, MIB]


def typical_response():
    return [
        '<https://example.com/>; rel="canonical", </css/site.css>; rel="preload"; as="style"',
        '</img/photo.jpg#jumbf=c2pa>; rel="c2pa-manifest"; type="application/c2pa"',
        (
            '<https://example.com/page/2>; rel="next", '
            '<https://example.com/about>; rel="author"; title="About us"'
        ),
    ]


MANIFEST = "https://cdn.example.com/manifests/4f1c0b2e-9d3a-4c5e-8a77-2b6d1e0f9a31.c2pa"


def many_links(count=10_000):
    """One header value of `count` link-values, about 1 MiB; every 100th
    advertises the (same) manifest."""
    parts = []
    for i in range(count):
        if i % 100 == 99:
            parts.append(f'<{MANIFEST}>; rel="c2pa-manifest"; type="application/c2pa"')
        else:
            parts.append(
                f"<https://cdn.example.com/assets/{i:05d}/bundle.min.js>; "
                f'rel="preload"; as="script"; crossorigin="anon"'
            )
    return [", ".join(parts)]


def hostile_workloads(size=MIB):
    backslashes = "\\" * (size - 40)  # an even run: the closing quote stays a quote
    return [
        ("commas", "1 MiB of commas", ["," * size]),
        ("quotes", "1 MiB of double quotes", ['"' * size]),
        ("angle_quote", 'alternating < and "', ['<"' * (size // 2)]),
        (
            "backslashes",
            "backslash run inside quotes",
            [f'<a>; title="{backslashes}"; rel=c2pa-manifest'],
        ),
    ]


def parse_workloads():
    """(key, title, values): what locate_all and extract are timed on."""
    return [
        ("typical", "typical response (3 fields, 5 link-values)", typical_response()),
        ("links10k", "1 MiB value of 10,000 link-values", many_links()),
    ] + hostile_workloads()


def utf8_size(value):
    if isinstance(value, str):
        return len(value.encode("utf-8", "surrogatepass"))
    return sum(utf8_size(item) for item in value)
