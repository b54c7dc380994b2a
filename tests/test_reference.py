"""One table, two implementations: the module and the plain reference in
reference.py must give every answer of the table, and then the same answers
as each other on generated input and on sweeps across the block boundaries of
the module's scanners (16 bytes for the cut, 32 for the encoder)."""

import os

import pytest
import reference

import manilink

R = "rel=c2pa-manifest"
B = ", <b>; " + R  # a second link, read only when the comma before it cuts
IMPLEMENTATIONS = pytest.mark.parametrize(
    "impl", [reference, manilink], ids=["reference", "module"]
)


def targets(impl, values):
    return [(link["uri"], link["jumbf"]) for link in impl.locate_all(values)]


READ_TABLE = [
    ([], []),
    (["<a>; " + R + B], [("a", None), ("b", None)]),
    (['<a>; t="x, y"; ' + R + B], [("a", None), ("b", None)]),
    (['<a>; t="x\\", y"; ' + R + B], [("a", None), ("b", None)]),
    (["<a>; " + R + "\\" + B], [("b", None)]),  # outside quotes a backslash escapes nothing
    (['<a>; rel="c2pa-manifest' + B], []),  # an unclosed quote keeps the rest
    (['<a"b>, <c>; ' + R], [('a"b', None)]),  # a quote counts between the brackets
    # a "<" swallows separators up to the next ">", wherever it stands
    (["<a,b>; " + R, "<a>;t=<x" + B], [("a,b", None), ("a", None)]),
    (['<a>;t="y""zzzzzz' + B], []),  # a second quote opens a new quoted stretch
    # a backslash ends the first block (offset 15) or the second (31); the
    # quote after it is escaped
    (['<a>;t="' + "y" * 8 + '\\"' + B], []),
    (['<a>;t="' + "y" * 24 + '\\"' + B], []),
    (["<a.jpg#JUMBF=c2pa/x>; " + R], [("a.jpg#jumbf=c2pa", "c2pa")]),
    (['<a#jumbf=/x>; REL="next C2PA-manifest"'], [("a#jumbf=/x", None)]),
    (["\u3000<\u00a0a\u2003>\u205f;\trel =\x0cc2pa-manifest\u3000"], [("a", None)]),
    (["<a>; rel=next\x0bc2pa-manifest", "<a>; rel=; " + R, "<a>; rel=next; " + R], []),
]
ENCODE_TABLE = [
    ("", ""),
    ("a/b?c=d#e", "a/b?c=d#e"),
    ("%2f %G1", "%2f%20%G1"),
    ("\r\n\t\x00\x7f", "%0D%0A%09%00%7F"),
    ('"<>\\^`{|}', "%22%3C%3E%5C%5E%60%7B%7C%7D"),
    ("\u00e9\U0001f600", "%C3%A9%F0%9F%98%80"),
    ("x" * 31 + " " + "y" * 40, "x" * 31 + "%20" + "y" * 40),
]


@IMPLEMENTATIONS
@pytest.mark.parametrize("values,expected", READ_TABLE)
def test_read_table(impl, values, expected):
    assert targets(impl, values) == expected


@IMPLEMENTATIONS
@pytest.mark.parametrize("text,encoded", ENCODE_TABLE)
def test_encode_table(impl, text, encoded):
    assert impl.encode_target(text) == encoded
    if not text:
        return
    assert impl.format(text) == "<" + encoded + '>; rel="c2pa-manifest"'
    if encoded == text:
        assert impl.format_strict(text) == impl.format(text)
    else:
        with pytest.raises(ValueError, match="percent-encode$"):
            impl.format_strict(text)


@IMPLEMENTATIONS
def test_selection_and_errors(impl):
    assert impl.extract(["<a>; " + R, "<a>; " + R]) == {
        "uri": "a",
        "jumbf": None,
        "is_embedded": False,
    }
    assert impl.extract(["<a>; rel=next"]) is None
    with pytest.raises(ValueError, match="^more than one c2pa-manifest target was advertised$"):
        impl.extract(["<a>; " + R, "<A>; " + R])
    with pytest.raises(ValueError, match="^malformed Link header: target URI is empty$"):
        impl.format_strict("")
    with pytest.raises(UnicodeEncodeError):
        impl.locate_all(["\ud800"])


def outcome(function, *args):
    try:
        return function(*args)
    except ValueError as error:  # UnicodeEncodeError included
        return type(error), str(error)


def differences(values_list, functions=("locate_all", "extract")):
    """The inputs on which the module and the reference disagree."""
    return [
        (name, values)
        for values in values_list
        for name in functions
        if outcome(getattr(manilink, name), values) != outcome(getattr(reference, name), values)
    ]


# Runs of the bytes that keep state in a cut, put at every offset of values
# of 1 to 70 bytes so that they cross every 16- and 32-byte boundary.
RUNS = [
    '"',
    '""',
    '"""',
    "\\",
    "\\\\",
    "\\\\\\",
    '\\"',
    '"\\',
    '\\\\"',
    '"\\"',
    "<",
    "<<",
    ">",
    '<"',
    '">',
    "<>",
    ",",
    ";",
]
HEADS = ['<a>;t="', "<a>; t=", '"', "<", "<a>; " + R + '; t="', ""]
TAILS = [B, "z" * 6 + B, '"' + B, ">" + B, "; " + R, '"; ' + R, ""]


def sweep(run, head):
    for tail in TAILS:
        for offset in range(71):
            value = head + "y" * offset + run + tail
            if len(value) <= 70:
                yield [value]
            yield [value[:70]]  # cut short: quotes and brackets left open


@pytest.mark.parametrize("head", HEADS)
@pytest.mark.parametrize("run", RUNS)
def test_runs_across_block_boundaries(run, head):
    assert differences(sweep(run, head)) == []


def test_every_short_value_of_acting_bytes():
    # Every value of up to five of these bytes, after 11 to 17 ordinary ones,
    # so that it straddles the end of the first block.
    alphabet = ['"', "\\", "<", ">", ",", ";"]
    values = [""]
    for _ in range(5):
        values += [v + c for v in values[-(6**_) :] for c in alphabet]
    assert differences([["y" * pad + v + B] for pad in range(11, 18) for v in values]) == []


@pytest.mark.parametrize("byte", ["%", " ", '"', "\\", "\x7f", "\u00e9", "\U0001f600"])
def test_encoding_across_block_boundaries(byte):
    texts = [
        "x" * offset + byte * count + "y" * (70 - offset)
        for offset in range(71)
        for count in (1, 2, 33)
    ]
    assert differences(texts, ("encode_target", "format", "format_strict")) == []


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings
from hypothesis import strategies as st

EXAMPLES = settings(
    max_examples=int(os.environ.get("MANILINK_HYPOTHESIS_EXAMPLES", "300")), deadline=None
)
TOKENS = [
    '"',
    "\\",
    "<",
    ">",
    ",",
    ";",
    "=",
    " ",
    "\t",
    "\x0b",
    "#",
    "/",
    "jumbf=",
    "JUMBF=",
    "rel",
    "REL",
    "c2pa-manifest",
    "next",
    "a",
    "b",
    "y" * 13,
    "\u00a0",
    "\u3000",
    "\u00e9",
]
header_values = st.lists(st.sampled_from(TOKENS) | st.text(max_size=3), max_size=40).map("".join)


@EXAMPLES
@given(st.lists(header_values, max_size=4))
def test_reading_matches_reference(values):
    assert differences([values]) == []


@EXAMPLES
@given(st.text() | header_values)
def test_writing_matches_reference(text):
    assert differences([text], ("encode_target", "format", "format_strict")) == []
