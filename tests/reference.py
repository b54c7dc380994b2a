"""The reading and writing rules of manilink, written plainly in Python.

Slow and short on purpose, so that it can be checked against the rules line by
line; tests/test_reference.py runs it and the module on the same inputs. It
works on str: every byte that the rules look for is ASCII, and the bytes of a
non-ASCII character never act, so cutting characters is cutting bytes.
"""

import string

REL = "c2pa-manifest"
WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000"
    + "".join(map(chr, range(0x2000, 0x200B)))
)
RELATION_SEPARATORS = frozenset("\t\n\x0c\r ")
LITERAL = frozenset(
    (string.ascii_letters + string.digits + "-._~" + ":/?#[]@" + "!$&'()*+,;=" + "%").encode()
)
EMPTY = "malformed Link header: target URI is empty"
NEEDS_ENCODING = (
    "malformed Link header: target URI contains characters that a URI must percent-encode"
)
CONFLICT = "more than one c2pa-manifest target was advertised"


def fold(text):
    """ASCII letters only: str.lower() would fold other letters too."""
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def trim(text):
    start, end = 0, len(text)
    while start < end and text[start] in WHITE_SPACE:
        start += 1
    while end > start and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[start:end]


def split_unquoted(text, separator):
    pieces, quoted, bracketed, start, i = [], False, False, 0, 0
    while i < len(text):
        c = text[i]
        if c == '"':
            quoted = not quoted
        elif quoted:
            if c == "\\":
                i += 1  # the next character is ordinary
        elif c == "<":
            bracketed = True
        elif c == ">":
            bracketed = False
        elif c == separator and not bracketed:
            pieces.append(text[start:i])
            start = i + 1
        i += 1
    pieces.append(text[start:])
    return pieces


def unquote(value):
    if len(value) < 2 or value[0] != '"' or value[-1] != '"':
        return value
    out, i, inner = [], 0, value[1:-1]
    while i < len(inner):
        if inner[i] == "\\":
            i += 1  # dropped; the next character is copied, if any
        if i < len(inner):
            out.append(inner[i])
        i += 1
    return "".join(out)


def parameters(text):
    for piece in map(trim, split_unquoted(text, ";")):
        if not piece:
            continue
        name, equals, value = piece.partition("=")
        yield fold(trim(name)), unquote(trim(value)) if equals else ""


def relation_types(value):
    types, start = [], 0
    for i, c in enumerate(value + " "):
        if c in RELATION_SEPARATORS:
            types.append(value[start:i])
            start = i + 1
    return types


def record(target):
    before, hash_, fragment = target.partition("#")
    if hash_ and fold(fragment[:6]) == "jumbf=":
        segment = fragment[6:].split("/")[0]
        if segment:
            return {"uri": before + "#jumbf=" + segment, "jumbf": segment, "is_embedded": True}
    return {"uri": target, "jumbf": None, "is_embedded": False}


def read_link_value(piece):
    link_value = trim(piece)
    open_ = link_value.find("<")
    close = link_value.find(">", open_ + 1) if open_ >= 0 else -1
    if close < 0:
        return None
    target = trim(link_value[open_ + 1 : close])
    rel = next(
        (value for name, value in parameters(link_value[close + 1 :]) if name == "rel"), None
    )
    if not target or rel is None or REL not in map(fold, relation_types(rel)):
        return None
    return record(target)


def locate_all(values):
    for value in values:
        value.encode()  # a lone surrogate raises UnicodeEncodeError, as the module does
    links = (read_link_value(piece) for value in values for piece in split_unquoted(value, ","))
    return [link for link in links if link is not None]


def extract(values):
    links = locate_all(values)
    if any(link != links[0] for link in links):
        raise ValueError(CONFLICT)
    return links[0] if links else None


def encode_target(uri):
    return "".join(chr(b) if b in LITERAL else "%%%02X" % b for b in uri.encode())


def format(uri):
    if not uri:
        raise ValueError(EMPTY)
    return '<%s>; rel="%s"' % (encode_target(uri), REL)


def format_strict(uri):
    if uri and encode_target(uri) != uri:
        raise ValueError(NEEDS_ENCODING)
    return format(uri)
