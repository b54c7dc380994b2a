"""Type information for the `manilink` extension module.

`manilink` writes and reads the values of HTTP `Link` header fields that
advertise a C2PA Manifest Store through the relation type "c2pa-manifest".
"""

# Each function's docstring opens with the module's own, word for word
# (tests/test_stubs.py checks it); a stub may add paragraphs after it, after
# an empty line, as format_strict's does.
#
# A `str` is a `Sequence[str]`, so `extract("<a>; rel=c2pa-manifest")` would
# type-check and then raise TypeError. The overload taking a `str` comes
# first and is marked deprecated, which is what both mypy (with its
# `deprecated` error code enabled) and pyright report at the call.

from collections.abc import Sequence
from typing import Final, NoReturn, TypedDict, overload

from typing_extensions import deprecated

__all__ = [
    "REL",
    "__version__",
    "encode_target",
    "extract",
    "format",
    "format_strict",
    "locate_all",
]

class ManifestLink(TypedDict):
    """One advertised manifest link, as `extract` and `locate_all` return it.

    Exists for type checkers only: import it under `typing.TYPE_CHECKING`.
    The dict always has the three keys, in this order.
    """

    uri: str
    """The link target as sent, trimmed; a `#jumbf=` reference is cut to its
    first segment and its prefix written in lower case."""
    jumbf: str | None
    """The first segment of the target's `#jumbf=` reference, or None."""
    is_embedded: bool
    """True exactly when `jumbf` is not None."""

REL: Final = "c2pa-manifest"
"""The link relation type that advertises a C2PA Manifest Store."""

__version__: Final[str]
"""The version of the module."""

def format(uri: str) -> str:
    """Build a `Link` header value advertising `uri` as the C2PA Manifest Store.

    The target is percent-encoded, so any input yields a safe header: a CR/LF
    becomes `%0D%0A` and can no longer start a header of its own. Only an empty
    target raises.
    """

def format_strict(uri: str) -> str:
    """As `format`, but raises rather than repairing a target that is not already a
    valid URI reference.

    Use this when the target comes from configuration, where a silent `%20`
    would hide a typo until it surfaced as a 404.

    It checks bytes, not URI structure: it raises `ValueError` for an empty
    target and for one holding any byte outside the 85 that may stand
    literally in a URI reference, `A-Z a-z 0-9 - . _ ~ : / ? # [ ] @ ! $ & ' ( ) * + , ; = %`,
    so a lone `%` passes. For every target it accepts, it returns what
    `format` returns.
    """

def encode_target(uri: str) -> str:
    """Percent-encode the bytes that cannot appear literally in a URI reference.

    Idempotent: `%` is left alone, so an already-encoded URI is not
    double-encoded.
    """

@overload
@deprecated("a str is refused at run time (TypeError): pass a list of Link values")
def extract(values: str) -> NoReturn: ...
@overload
def extract(values: Sequence[str]) -> ManifestLink | None:
    """The single `c2pa-manifest` link across the given `Link` header values, or
    `None` when none is advertised.

    Accepts a list of header values, since a response may carry several `Link`
    fields and each may hold several comma-separated links. Returns a dict with
    `uri`, `jumbf`, and `is_embedded`.

    Raises `ValueError` when genuinely competing targets are advertised: the
    specification defines no precedence between them, so choosing one would
    invent a rule.
    """

@overload
@deprecated("a str is refused at run time (TypeError): pass a list of Link values")
def locate_all(values: str) -> NoReturn: ...
@overload
def locate_all(values: Sequence[str]) -> list[ManifestLink]:
    """Every `c2pa-manifest` link across the given `Link` header values, in order."""
