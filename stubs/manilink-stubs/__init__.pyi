"""Type information for the `manilink` extension module.

`manilink` writes and reads the values of HTTP `Link` header fields that
advertise a C2PA Manifest Store through the relation type "c2pa-manifest".
"""

# Each function's docstring opens with the module's own, word for word
# (tests/test_stubs.py checks it); a stub may add paragraphs after it, after
# an empty line, as format_strict's does.
#
# A `str` is a `Sequence[str]`, so `extract("<a>; rel=c2pa-manifest")` would
# type-check and then raise TypeError. `values` is a SequenceNotStr instead:
# `str.__contains__` takes only a `str`, so a `str` does not match it and the
# call is an ordinary argument-type error, with the code after it still
# checked; lists, tuples, deques and any `Sequence[str]` match. It has no
# `index` or `count`: their `Any` parameter makes mypy stop checking the items
# of a list display (`extract([1])` would pass), and the module uses neither.

from collections.abc import Iterator
from typing import Final, Protocol, TypedDict, TypeVar

_T_co = TypeVar("_T_co", covariant=True)

__all__ = [
    "REL",
    "__version__",
    "encode_target",
    "extract",
    "format",
    "format_strict",
    "locate_all",
]

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

def extract(values: SequenceNotStr[str]) -> ManifestLink | None:
    """The single `c2pa-manifest` link across the given `Link` header values, or
    `None` when none is advertised.

    Accepts a list of header values, since a response may carry several `Link`
    fields and each may hold several comma-separated links. Returns a dict with
    `uri`, `jumbf`, and `is_embedded`.

    Raises `ValueError` when genuinely competing targets are advertised: the
    specification defines no precedence between them, so choosing one would
    invent a rule.
    """

def locate_all(values: SequenceNotStr[str]) -> list[ManifestLink]:
    """Every `c2pa-manifest` link across the given `Link` header values, in order."""

# Types for type checkers only: they do not exist at run time.

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

class SequenceNotStr(Protocol[_T_co]):
    """A sequence that is not a `str`: a list, tuple, deque or other sequence.

    Exists for type checkers only, as the type of `values`: import it under
    `typing.TYPE_CHECKING`. Any `Sequence[str]` matches it.
    """

    def __getitem__(self, index: int, /) -> _T_co: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T_co]: ...
