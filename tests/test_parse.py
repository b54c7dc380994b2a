import pytest

import manilink

R = "rel=c2pa-manifest"
WHITE_SPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\x20", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
REL_SEPARATORS = ["\t", "\n", "\x0c", "\r", " "]
# look like spaces, or share UTF-8 bytes with white space, but are not white space
NOT_WHITE_SPACE = [
    "\x1c",
    "\x1d",
    "\x1e",
    "\x1f",
    "\x84",
    "\xa1",
    "\u0145",
    "\u00e0",
    "\u180e",
    "\u200b",
    "\u2010",
    "\u2027",
    "\u202e",
    "\u2060",
    "\u3001",
    "\ufeff",
    "\U00010000",
]


def links(values):
    result = manilink.locate_all(values)
    assert type(result) is list
    out = []
    for d in result:
        assert list(d) == ["uri", "jumbf", "is_embedded"]
        assert d["is_embedded"] is (d["jumbf"] is not None)
        out.append((d["uri"], d["jumbf"]))
    return out


def test_white_space_table_has_25_members():
    assert len(set(WHITE_SPACE)) == 25
    assert all(c.isspace() for c in WHITE_SPACE)


# single header values that advertise exactly the link a
GIVES_A = [
    "<a>; REL=C2PA-Manifest",
    '<a>; Rel="C2PA-MANIFEST"',
    '<a>; rel="next c2pa-manifest"',
    '<a>; rel="c2pa-manifest c2pa-manifest"',
    '<a>; rel="a=b c2pa-manifest"',
    "<a>; " + R + "; rel=next",
    "<a>; title=rel; relation=x; " + R,
    "<a>; rel =c2pa-manifest",
    '<a>; rel = "c2pa-manifest" ',
    "<a>; rel= c2pa-manifest ;",
    "<a>;; " + R + ";;",
    "<a>rel=c2pa-manifest",
    "<a> rel=c2pa-manifest",
    "junk <a> x; " + R,
    "," + "<a>; " + R + ",",
    # quoted values: a backslash takes the next character literally, a final one is dropped
    '<a>; rel="c2pa\\-manifest"',
    '<a>; rel="c2pa-manifest\\"',
    '<a>; rel=" c2pa-manifest "',
    '<a>; rel="\\c\\2\\p\\a\\-\\m\\a\\n\\i\\f\\e\\s\\t"',
    '<a>; rel="next\\ c2pa-manifest"',
    "<a>; rel=next\tc2pa-manifest",
    "<a>; rel=next\nc2pa-manifest",
    "<a>; rel=next\x0cc2pa-manifest",
    "<a>; rel=next\rc2pa-manifest",
    # quotes and brackets decide where a link-value ends
    '<a>; title="x, y"; ' + R,
    '<a>; t="x\\,y"; ' + R,
    "<a>; title=<x, <b>; " + R,
    "<a>; " + R + '; t=\\"x, <b>; ' + R,
    "<a>; " + R + '; t="\\',
    "<a>; " + R + ', "',
    "<a>; " + R + ", \\",
    "< a >; " + R,
    "<a><b>; " + R,
    "<a>>; " + R,
    "\x00<a>; " + R,
]
# single header values that advertise nothing
GIVES_NOTHING = [
    "",
    " ",
    "\t",
    ",",
    ",,,",
    " , , ",
    "\x00",
    "<a>",
    "a; " + R,
    "<a>; rel='c2pa-manifest'",
    '<a>; rel="c2pa-manifest',
    '<a>; rel=c2pa-manifest"',
    '<a>; rel="c2pa-manifest"x',
    '<a>; rel=""c2pa-manifest""',
    '<a>; rel="',
    '<a>; rel="""',
    "<a>; rel=c2pa-manifestx",
    "<a>; rel=xc2pa-manifest",
    "<a>; rel=c2pa_manifest",
    "<a>; rel=c2pa-manifest=x",
    "<a>; rel==c2pa-manifest",
    "<a>; rel=c2pa-manife\u017ft",
    "<a>; rel=C2PA-MAN\u0130FEST",
    "<a>; rel=next; " + R,
    "<a>; rel; " + R,
    "<a>; rel=; " + R,
    '<a>; rel=""; ' + R,
    "<a>; REL=next; " + R,
    "<a>; relation=c2pa-manifest",
    "<a>; =c2pa-manifest",
    "<a>; r el=c2pa-manifest",
    '<a>; "rel"=c2pa-manifest',
    '<a>; rel="c2pa-manifest\\\\"',
    '<a>; rel="\u00a0c2pa-manifest"',
    '<a>; rel="next\x0bc2pa-manifest"',
    '<a>; rel="next\x85c2pa-manifest"',
    '<a>; title="x; rel=c2pa-manifest"',
    '<a>; rel="c2pa-manifest, <b>; ' + R,
    "<   >; " + R,
    "<>; " + R,
    "<a; " + R,
    "<a>; " + R + "\x00",
]
PARSE_TABLE = (
    [(["<x>; " + R, v], [("x", None), ("a", None)]) for v in GIVES_A]
    + [(["<x>; " + R, v], [("x", None)]) for v in GIVES_NOTHING]
    + [
        ([], []),
        (
            ["<a>, <b>; rel=c2pa-manifest, <c>; rel=c2pa-manifest", "<d>; " + R],
            [("b", None), ("c", None), ("d", None)],
        ),
        (["<a>; " + R + ", <a>; " + R], [("a", None), ("a", None)]),
        (["<a>; " + R + ', <b>; rel=next, <c>; rel="c2pa-manifest"'], [("a", None), ("c", None)]),
        (['<a>; title="x\\", y"; ' + R + ", <b>; " + R], [("a", None), ("b", None)]),
        (['<a>; title="<"; ' + R + ", <b>; " + R], [("a", None), ("b", None)]),
        (["<a>; rel=c2pa-manifest\\, <b>; " + R], [("b", None)]),
        (["<a>; title=x>y, <b>; " + R], [("b", None)]),
        # targets are taken verbatim, trimmed only
        (["<a,b>; " + R, "<a;b>; " + R], [("a,b", None), ("a;b", None)]),
        (['<a"b>, <c>; ' + R, '<a"b,c">; ' + R], [('a"b', None), ('a"b,c"', None)]),
        (["<a<b>; " + R, "<<a>; " + R, "x>a<b>; " + R], [("a<b", None), ("<a", None), ("b", None)]),
        (
            ["<%7e a%20>; " + R, "<\u00e9\U0001f600>; " + R, "<a\x00b>; " + R],
            [("%7e a%20", None), ("\u00e9\U0001f600", None), ("a\x00b", None)],
        ),
    ]
)
# target -> (uri, jumbf)
JUMBF_TABLE = [
    ("a.jpg#jumbf=c2pa", "a.jpg#jumbf=c2pa", "c2pa"),
    ("a.jpg#JUMBF=c2pa/urn:uuid:1/c2pa.assertions", "a.jpg#jumbf=c2pa", "c2pa"),
    ("a.jpg#JuMbF=C2PA", "a.jpg#jumbf=C2PA", "C2PA"),
    ("#jumbf=c2pa", "#jumbf=c2pa", "c2pa"),
    ("a.jpg#jumbf=c2pa#z", "a.jpg#jumbf=c2pa#z", "c2pa#z"),
    ("a.jpg#jumbf=c2pa#z/q", "a.jpg#jumbf=c2pa#z", "c2pa#z"),
    ("a.jpg#jumbf==x", "a.jpg#jumbf==x", "=x"),
    ("a#jumbf=c2pa/", "a#jumbf=c2pa", "c2pa"),
    ("a?q=1#JUMBF=%2Fx/y", "a?q=1#jumbf=%2Fx", "%2Fx"),
    ("a#jumbf=\u00e9/x", "a#jumbf=\u00e9", "\u00e9"),
    ("a#jumbf= c2pa ", "a#jumbf= c2pa", " c2pa"),
    (" a#jumbf=c2pa ", "a#jumbf=c2pa", "c2pa"),
    ("a#jumbf=c\x00/x", "a#jumbf=c\x00", "c\x00"),
    ("a#jumbf=c2pa;x,y/z", "a#jumbf=c2pa;x,y", "c2pa;x,y"),
] + [
    (t, t, None)
    for t in [
        "a.jpg#jumbf=/c2pa/urn:uuid:1",
        "a.jpg#jumbf=",
        "a.jpg#page=2",
        "a.jpg#x#jumbf=c2pa",
        "a.jpg#jumbf",
        "a.jpg#jumbf:c2pa",
        "a.jpg#",
        "a#\u00e9umbf=c2pa",
        "a#jumb\u00e9=c2pa",
    ]
]


@pytest.mark.parametrize("target,uri,jumbf", JUMBF_TABLE)
def test_jumbf_reference(target, uri, jumbf):
    assert links(["<%s>; %s" % (target, R)]) == [(uri, jumbf)]


@pytest.mark.parametrize("values,expected", PARSE_TABLE)
def test_parse_table(values, expected):
    assert links(values) == expected
    assert links(tuple(values)) == expected


@pytest.mark.parametrize("w", WHITE_SPACE, ids=lambda c: "U+%04X" % ord(c))
def test_white_space_trims_like_a_space(w):
    assert links([f"{w}<{w}a{w}>{w};{w}rel{w}={w}c2pa-manifest{w}"]) == [("a", None)]
    assert links([f'{w * 3}<{w}a#JUMBF=x/y{w}>{w};{w}REL{w}={w}"c2pa-manifest"{w}']) == [
        ("a#jumbf=x", "x")
    ]
    assert links([f"<a>;{R}{w},{w}<b>{w};{w}{R}{w}"]) == [("a", None), ("b", None)]
    assert links([f"<{w}>; {R}"]) == []
    assert links([f"<a>; {w}; rel{w}; {R}"]) == []


@pytest.mark.parametrize("w", WHITE_SPACE, ids=lambda c: "U+%04X" % ord(c))
def test_white_space_inside_rel_value_separates_only_the_five(w):
    expected = [("a", None)] if w in REL_SEPARATORS else []
    assert links([f'<a>; rel="next{w}c2pa-manifest"']) == expected
    assert links([f'<a>; rel="c2pa-manifest{w}next"']) == expected
    assert links([f'<a>; rel="{w}c2pa-manifest{w}"']) == expected


@pytest.mark.parametrize("n", NOT_WHITE_SPACE, ids=lambda c: "U+%04X" % ord(c))
def test_other_characters_are_not_trimmed(n):
    assert links([f"<{n}a{n}>; {R}"]) == [(f"{n}a{n}", None)]
    assert links([f"<{n}>; {R}"]) == [(n, None)]
    assert links([f"<a>; {R}{n}"]) == []
    assert links([f"<a>; {n}rel=c2pa-manifest"]) == []
    assert links([f"<a>; rel={n}c2pa-manifest"]) == []


MIB = 1 << 20
# a few MiB of one delimiter, or of unbalanced quotes, brackets and backslashes, yield nothing
HOSTILE = [
    (piece * (4 * MIB // len(piece)), [])
    for piece in [",", '"', '<"', "\\", '"\\', "<", ">", "<>", ";", "=", "#", '"' * 3 + ","]
] + [
    ("<a>" + ";" * (4 * MIB) + R, [("a", None)]),
    ("<a>; " + "x=y; " * (MIB // 2) + R, [("a", None)]),
    ("<a>; rel=" + " " * (4 * MIB) + "c2pa-manifest", [("a", None)]),
    ('<a>; rel="' + "\\" * (4 * MIB) + '"', []),
    (" " * (2 * MIB) + "<a>; " + R + " " * (2 * MIB), [("a", None)]),
    ("\u3000" * MIB + "<a>; " + R + "\u3000" * MIB, [("a", None)]),
    ("<" + "a" * (4 * MIB) + ">; " + R, [("a" * (4 * MIB), None)]),
    ("<a#jumbf=" + "b" * (4 * MIB) + ">; " + R, [("a#jumbf=" + "b" * (4 * MIB), "b" * (4 * MIB))]),
    ("<a>; " + R + ', "' + "x, <b>; rel=c2pa-manifest" * 100000, [("a", None)]),
]


@pytest.mark.parametrize("value,expected", HOSTILE, ids=lambda v: repr(v)[:20])
def test_hostile_inputs(value, expected):
    assert links([value]) == expected


def test_many_links_and_many_values():
    value = ("<a>; " + R + ",") * 100000
    got = manilink.locate_all([value])
    assert len(got) == 100000 and got[0] == got[-1] == {
        "uri": "a",
        "jumbf": None,
        "is_embedded": False,
    }
    many = ["<x%d>; %s" % (i, R) for i in range(50000)]
    assert links(many) == [("x%d" % i, None) for i in range(50000)]
    assert manilink.extract(["<a>; " + R] * 100000)["uri"] == "a"
