import inspect
import subprocess
import sys
import textwrap

import pytest

import manilink

FUNCTION_NAMES = ["format", "format_strict", "encode_target", "extract", "locate_all"]

# The extract docstring names the document that leaves link precedence open.
_DEFINES = "specification defines no precedence between them, so choosing one would"

DOCSTRINGS = {
    "format": (
        "Build a `Link` header value advertising `uri` as the C2PA Manifest Store.\n"
        "\n"
        "The target is percent-encoded, so any input yields a safe header: a CR/LF\n"
        "becomes `%0D%0A` and can no longer start a header of its own. Only an empty\n"
        "target raises."
    ),
    "format_strict": (
        "As `format`, but raises rather than repairing a target that is not already a\n"
        "valid URI reference.\n"
        "\n"
        "Use this when the target comes from configuration, where a silent `%20`\n"
        "would hide a typo until it surfaced as a 404."
    ),
    "encode_target": (
        "Percent-encode the bytes that cannot appear literally in a URI reference.\n"
        "\n"
        "Idempotent: `%` is left alone, so an already-encoded URI is not\n"
        "double-encoded."
    ),
    "extract": (
        "The single `c2pa-manifest` link across the given `Link` header values, or\n"
        "`None` when none is advertised.\n"
        "\n"
        "Accepts a list of header values, since a response may carry several `Link`\n"
        "fields and each may hold several comma-separated links. Returns a dict with\n"
        "`uri`, `jumbf`, and `is_embedded`.\n"
        "\n"
        "Raises `ValueError` when genuinely competing targets are advertised: the\n"
        + _DEFINES
        + "\n"
        "invent a rule."
    ),
    "locate_all": ("Every `c2pa-manifest` link across the given `Link` header values, in order."),
}

SIGNATURES = {
    "format": "(uri)",
    "format_strict": "(uri)",
    "encode_target": "(uri)",
    "extract": "(values)",
    "locate_all": "(values)",
}


def test_all_lists_functions_then_constants_in_order():
    assert manilink.__all__ == FUNCTION_NAMES + ["REL", "__version__"]
    assert type(manilink.__all__) is list


def test_constants():
    assert manilink.REL == "c2pa-manifest" and type(manilink.REL) is str
    assert manilink.__version__ == "0.1.0" and type(manilink.__version__) is str


def test_module_docstring_is_empty_string_not_none():
    assert manilink.__doc__ == ""
    assert manilink.__name__ == "manilink"


def test_internal_failure_class_is_not_exported():
    assert not hasattr(manilink, "InternalFailure")
    assert "InternalFailure" not in vars(manilink)
    public = sorted(n for n in vars(manilink) if not n.startswith("_"))
    assert public == sorted(FUNCTION_NAMES + ["REL"])


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_records(name):
    func = getattr(manilink, name)
    assert func.__doc__ == DOCSTRINGS[name]
    assert func.__text_signature__ == SIGNATURES[name]
    sig = inspect.signature(func)
    assert str(sig) == SIGNATURES[name]
    (param,) = sig.parameters.values()
    assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert func.__name__ == name
    assert func.__module__ == "manilink"
    assert func.__self__ is manilink
    assert callable(func) and type(func).__name__ == "builtin_function_or_method"


def test_second_import_in_one_process_fails_and_old_module_keeps_working():
    script = textwrap.dedent(r"""
        import sys
        import manilink
        old = manilink
        del sys.modules["manilink"]
        for attempt in range(2):
            try:
                import manilink as again
            except ImportError as e:
                print("refused", type(e).__name__, "once" in str(e), "manilink" in sys.modules)
            else:
                print("imported", again is old)
        print(old.format("a b"))
        print(old.extract(['<x#JUMBF=c2pa/y>; rel=c2pa-manifest']))
        print(old.locate_all([]), old.encode_target("<"), old.REL, old.__all__[0])
        try:
            old.extract(["<a>; rel=c2pa-manifest", "<b>; rel=c2pa-manifest"])
        except ValueError as e:
            print(e)
    """)
    proc = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "refused ImportError True False",
        "refused ImportError True False",
        '<a%20b>; rel="c2pa-manifest"',
        "{'uri': 'x#jumbf=c2pa', 'jumbf': 'c2pa', 'is_embedded': True}",
        "[] %3C c2pa-manifest format",
        "more than one c2pa-manifest target was advertised",
    ]
