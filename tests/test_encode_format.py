import random
import re

import pytest

import manilink

LITERAL = frozenset(
    b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~:/?#[]@!$&'()*+,;=%"
)
EMPTY = "malformed Link header: target URI is empty"
NEEDS_ENCODING = (
    "malformed Link header: target URI contains characters that a URI must percent-encode"
)
HEADER_RE = re.compile(r"<([A-Za-z0-9\-._~:/?#\[\]@!$&'()*+,;=%]+)>; rel=\"c2pa-manifest\"")


def header(target):
    return "<" + target + '>; rel="c2pa-manifest"'


def escapes(text):
    return "".join("%%%02X" % b for b in text.encode("utf-8"))


ENCODE_TABLE = [
    ("", ""),
    ("https://example.com/a/b?q=1&r=2#frag", "https://example.com/a/b?q=1&r=2#frag"),
    ("%G1", "%G1"),
    ("%20", "%20"),
    ("%2f", "%2f"),
    ("a%", "a%"),
    ("%%", "%%"),
    ("\r\n", "%0D%0A"),
    ('"<>\\^`{|}', "%22%3C%3E%5C%5E%60%7B%7C%7D"),
    (":/?#[]@!$&'()*+,;=-._~", ":/?#[]@!$&'()*+,;=-._~"),
    ("\u20ac", "%E2%82%AC"),
    ("\U0001f600", "%F0%9F%98%80"),
    ("\U0010ffff", "%F4%8F%BF%BF"),
    ("caf\u00e9 menu.jpg", "caf%C3%A9%20menu.jpg"),
    ("\x00" * 3 + "a\x00b", "%00%00%00a%00b"),
    ("/m/a b#jumbf=c2pa/x y", "/m/a%20b#jumbf=c2pa/x%20y"),
    ("a%20b c", "a%20b%20c"),
]


@pytest.mark.parametrize("text,encoded", ENCODE_TABLE)
def test_encode_target_table(text, encoded):
    got = manilink.encode_target(text)
    assert got == encoded and type(got) is str
    assert manilink.encode_target(got) == got


@pytest.mark.parametrize("code", range(256))
def test_every_single_character_below_256(code):
    char = chr(code)
    if code in LITERAL:
        expected = char
        assert manilink.format_strict(char) == header(char) == manilink.format(char)
    else:
        # 43 ASCII characters and the two bytes of every character from U+0080 on
        expected = "%%%02X" % code if code < 128 else escapes(char)
        with pytest.raises(ValueError) as info:
            manilink.format_strict(char)
        assert type(info.value) is ValueError and info.value.args == (NEEDS_ENCODING,)
        assert manilink.format(char) == header(expected)
    assert manilink.encode_target(char) == expected
    assert manilink.encode_target("x" + char + "y") == "x" + expected + "y"


def test_multibyte_characters_escape_each_byte_in_upper_case():
    assert len(LITERAL) == 85
    assert manilink.encode_target("\u00e9") == "%C3%A9"
    for cp in [*range(0x80, 0x800, 7), *range(0x800, 0x10000, 97), *range(0x10000, 0x110000, 1201)]:
        if not 0xD800 <= cp <= 0xDFFF:
            assert manilink.encode_target(chr(cp)) == escapes(chr(cp))


ERROR_TABLE = [
    ("format", "", EMPTY),
    ("format_strict", "", EMPTY),
    ("format_strict", " ", NEEDS_ENCODING),
    ("format_strict", "http://x/\u00e9", NEEDS_ENCODING),
] + [
    ("format_strict", t, NEEDS_ENCODING)
    for t in ("a\r\nSet-Cookie: x", "a\x00", "a>; rel=next", "ok/path\x7f", '%zz"', "\U0001f600")
]


@pytest.mark.parametrize("name,target,message", ERROR_TABLE)
def test_format_errors(name, target, message):
    with pytest.raises(ValueError) as info:
        getattr(manilink, name)(target)
    err = info.value
    assert type(err) is ValueError
    assert err.args == (message,) and str(err) == message
    assert err.__cause__ is None and err.__context__ is None


@pytest.mark.parametrize(
    "target,bracketed",
    [
        (" ", "<%20>"),
        ("a\r\nb", "<a%0D%0Ab>"),
        ("a>b", "<a%3Eb>"),
        ('a"b', "<a%22b>"),
        ("a%20b", "<a%20b>"),
        ("\u00e9", "<%C3%A9>"),
        ("a,b;c=d", "<a,b;c=d>"),
        ("  ", "<%20%20>"),
    ],
)
def test_format_table(target, bracketed):
    assert manilink.format(target) == bracketed + '; rel="c2pa-manifest"'


@pytest.mark.parametrize(
    "target",
    [
        "%",
        "%zz",
        "%G1",
        "a#b#c",
        "?#?",
        "[::1]",
        "x.jpg#jumbf=c2pa/urn:uuid:1/c2pa.assertions",
        "https://example.com/m.c2pa?x=1",
        "a,b;c=d",
        "relative/path",
        "#jumbf=c2pa",
        "a/" * 500000,
    ],
)
def test_format_strict_accepts_literal_targets_unchanged(target):
    got = manilink.format_strict(target)
    assert got == header(target) == manilink.format(target)
    assert type(got) is str and manilink.encode_target(target) == target


def _random_texts(count=400, seed=20240601):
    rng = random.Random(seed)
    alphabet = (
        [chr(c) for c in range(128)]
        + ["\u00e9", "\u00a0", "\u2028", "\U0001f600", "\uffff", "%2", "%41"]
        + [chr(c) for c in LITERAL]
    )
    return ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 24))) for _ in range(count)]


@pytest.mark.parametrize("text", _random_texts())
def test_encoding_properties(text):
    encoded = manilink.encode_target(text)
    assert encoded == "".join(chr(b) if b in LITERAL else "%%%02X" % b for b in text.encode())
    assert manilink.encode_target(encoded) == encoded
    value = manilink.format(text)
    match = HEADER_RE.fullmatch(value)
    assert match and match.group(1) == encoded
    assert not set('\r\n \t"<>') & set(match.group(1))
    if encoded == text:
        assert manilink.format_strict(text) == value
    else:
        with pytest.raises(ValueError, match="must percent-encode"):
            manilink.format_strict(text)


def test_long_input():
    encoded = manilink.encode_target("\u00e9 " * 200000)
    assert encoded == "%C3%A9%20" * 200000
    assert manilink.format("\u00e9 " * 200000) == header(encoded)
