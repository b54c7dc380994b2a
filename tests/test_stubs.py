"""The stub package says what the module says: each function's docstring in
stubs/manilink-stubs/__init__.pyi (the checkout's, and the installed copy
when the wheel put one on sys.path) opens with the module's own docstring,
word for word. A stub may add paragraphs after it, separated by an empty
line; the one of format_strict names the bytes it accepts, which must be the
bytes the module accepts."""

import ast
import inspect
import os
import string
import sys

import pytest

import manilink

FUNCTION_NAMES = ["format", "format_strict", "encode_target", "extract", "locate_all"]
CHECKOUT_STUB = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
    "stubs",
    "manilink-stubs",
    "__init__.pyi",
)


def stub_files():
    found = [CHECKOUT_STUB] if os.path.isfile(CHECKOUT_STUB) else []
    for folder in sys.path:
        path = os.path.join(folder or os.curdir, "manilink-stubs", "__init__.pyi")
        if os.path.isfile(path) and os.path.realpath(path) not in map(os.path.realpath, found):
            found.append(path)
    return found


STUBS = stub_files()


def docstrings(path):
    with open(path, encoding="utf-8") as source:
        tree = ast.parse(source.read(), path)
    return {
        node.name: inspect.cleandoc(ast.get_docstring(node, clean=False) or "")
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }


def addendum(stub, module):
    """What the stub's docstring adds after the module's, or "" when nothing."""
    if stub == module:
        return ""
    assert stub.startswith(module + "\n\n"), (
        "the stub's docstring does not open with the module's own:\n%s\n---\n%s" % (stub, module)
    )
    return stub[len(module) + 2 :]


def test_the_checkout_has_a_stub():
    assert os.path.isfile(CHECKOUT_STUB)


@pytest.mark.parametrize("path", STUBS)
def test_every_function_has_a_stub_docstring(path):
    assert sorted(docstrings(path)) == sorted(FUNCTION_NAMES)


@pytest.mark.parametrize("path", STUBS)
@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_stub_docstring_opens_with_the_module_docstring(path, name):
    module_doc = getattr(manilink, name).__doc__
    assert module_doc
    extra = addendum(docstrings(path)[name], module_doc)
    assert extra == "" or not extra.startswith("\n"), extra


def literal_set(text):
    """The characters of the first backquoted list of single characters and
    ranges (`A-Z a-z - . %`)."""
    for span in text.split("`")[1::2]:
        tokens = span.split()
        if len(tokens) > 10 and all(len(t) == 1 or (len(t) == 3 and t[1] == "-") for t in tokens):
            chars = set()
            for token in tokens:
                if len(token) == 3:
                    chars.update(chr(c) for c in range(ord(token[0]), ord(token[2]) + 1))
                else:
                    chars.add(token)
            return chars
    return None


@pytest.mark.parametrize("path", STUBS)
def test_format_strict_stub_names_exactly_the_bytes_it_accepts(path):
    extra = addendum(docstrings(path)["format_strict"], manilink.format_strict.__doc__)
    documented = literal_set(extra)
    assert documented is not None, "the stub does not list the accepted bytes"
    assert len(documented) == 85
    accepted = set()
    for code in range(256):
        try:
            manilink.format_strict(chr(code))
            accepted.add(chr(code))
        except ValueError:
            pass
    assert accepted == documented
    # Bytes, not URI structure: a lone or malformed escape passes.
    for target in ("%", "%zz", "a%", "::", "#?#"):
        assert manilink.format_strict(target) == manilink.format(target)
    assert set(string.ascii_letters + string.digits) <= documented
