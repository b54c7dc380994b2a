"""Generated input for the five functions (MANILINK_HYPOTHESIS_EXAMPLES: examples each)."""

import os
import string

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings
from hypothesis import strategies as st

import manilink

LITERAL = set((string.ascii_letters + string.digits + "-._~:/?#[]@!$&'()*+,;=%").encode())
RELATION = '; rel="c2pa-manifest"'
EXAMPLES = settings(
    max_examples=int(os.environ.get("MANILINK_HYPOTHESIS_EXAMPLES", "150")), deadline=None
)

# Text that looks like Link header values: delimiters, keywords, spaces.
TOKENS = [
    "<",
    ">",
    ",",
    ";",
    '"',
    "\\",
    "=",
    "rel",
    "REL",
    "c2pa-manifest",
    "next",
    "#",
    "jumbf=",
    "JUMBF=",
    "/",
    "a",
    "b.jpg",
    " ",
    "\t",
    "\x0b",
    "\x0c",
    "\u00a0",
    "\u3000",
    "\u00e9",
    "%2F",
    "'",
]
header_texts = st.lists(st.sampled_from(TOKENS) | st.text(max_size=3), max_size=30).map("".join)
header_lists = st.lists(header_texts, max_size=5)
targets = st.text() | header_texts
anything = st.recursive(
    st.none() | st.booleans() | st.integers() | st.binary(max_size=8) | st.text(max_size=8),
    lambda inner: (
        st.lists(inner, max_size=4)
        | st.tuples(inner)
        | st.dictionaries(st.text(max_size=3), inner, max_size=3)
        | st.frozensets(st.integers(), max_size=3)
    ),
    max_leaves=8,
)


def _outcome(func, *args):
    try:
        return func(*args)
    except ValueError as error:  # includes UnicodeEncodeError
        return type(error), str(error)


@EXAMPLES
@given(targets)
def test_writing_side(target):
    try:
        raw = target.encode()
    except UnicodeEncodeError:
        for func in (manilink.format, manilink.format_strict, manilink.encode_target):
            with pytest.raises(UnicodeEncodeError):
                func(target)
        return
    encoded = manilink.encode_target(target)
    assert set(encoded.encode()) <= LITERAL
    assert manilink.encode_target(encoded) == encoded
    if not target:
        for func in (manilink.format, manilink.format_strict):
            with pytest.raises(ValueError, match="^malformed Link header: target URI is empty$"):
                func(target)
        return
    value = manilink.format(target)
    assert value == "<" + encoded + ">" + RELATION
    strict = _outcome(manilink.format_strict, target)
    assert (strict == value) == (set(raw) <= LITERAL)
    if strict != value:
        assert strict == (
            ValueError,
            "malformed Link header: target URI contains characters that a URI must percent-encode",
        )
    # Reading the value back finds the encoded target, a jumbf reference
    # reduced to its first segment.
    link = manilink.extract([value])
    assert manilink.locate_all([value]) == [link]
    if link["jumbf"] is None:
        assert link == {"uri": encoded, "jumbf": None, "is_embedded": False}
    else:
        before, _, fragment = encoded.partition("#")
        assert fragment[:6].lower() == "jumbf="
        assert fragment[6:].split("/")[0] == link["jumbf"] != ""
        assert link["uri"] == before + "#jumbf=" + link["jumbf"] and link["is_embedded"]


@EXAMPLES
@given(header_lists, st.randoms(use_true_random=False))
def test_reading_side(values, rng):
    links = manilink.locate_all(values)
    for link in links:
        assert list(link) == ["uri", "jumbf", "is_embedded"]
        assert isinstance(link["uri"], str) and link["uri"]
        assert link["jumbf"] is None or (isinstance(link["jumbf"], str) and link["jumbf"])
        assert link["is_embedded"] is (link["jumbf"] is not None)
    distinct = []
    for link in links:
        if link not in distinct:
            distinct.append(link)
    outcome = _outcome(manilink.extract, values)
    if len(distinct) > 1:
        assert outcome == (ValueError, "more than one c2pa-manifest target was advertised")
    else:
        assert outcome == (distinct[0] if distinct else None)
    shuffled = values * rng.randint(1, 3)
    rng.shuffle(shuffled)
    if values:
        assert _outcome(manilink.extract, tuple(shuffled)) == outcome


@EXAMPLES
@given(
    st.sampled_from(["format", "format_strict", "encode_target", "extract", "locate_all"]),
    st.lists(anything, max_size=2),
    st.dictionaries(st.sampled_from(["uri", "values", "x"]), anything, max_size=2),
)
def test_any_arguments_raise_only_documented_errors(name, args, kwargs):
    try:
        getattr(manilink, name)(*args, **kwargs)
    except (TypeError, ValueError):
        pass
