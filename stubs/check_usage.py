"""Read by the type checkers only, never run: pins what the stubs promise.

Each `type: ignore[code]` below must stay needed by mypy --strict (its
--warn-unused-ignores), and each `pyright: ignore[rule]` by pyright
(reportUnnecessaryTypeIgnoreComment in pyproject.toml), so the stubs keep
refusing what the module refuses.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, List, Literal, Optional

from typing_extensions import assert_type

import manilink

if TYPE_CHECKING:
    from manilink import ManifestLink

assert_type(manilink.REL, Literal["c2pa-manifest"])
assert_type(manilink.__version__, str)
assert_type(manilink.format("/m.c2pa"), str)
assert_type(manilink.format_strict(uri="/m.c2pa"), str)
assert_type(manilink.encode_target("a b"), str)

found = manilink.extract(values=("<a>; rel=c2pa-manifest",))
assert_type(found, Optional["ManifestLink"])
if found is not None:
    assert_type(found["uri"], str)
    assert_type(found["jumbf"], Optional[str])
    assert_type(found["is_embedded"], bool)
    found["title"]  # type: ignore[typeddict-item]  # pyright: ignore[reportGeneralTypeIssues]

assert_type(manilink.locate_all(["<a>; rel=c2pa-manifest"]), List["ManifestLink"])
assert_type(manilink.locate_all(("<a>; rel=c2pa-manifest",)), List["ManifestLink"])


def any_sequence(values: Sequence[str]) -> Optional[ManifestLink]:
    assert_type(manilink.locate_all(values), List["ManifestLink"])
    return manilink.extract(values)


manilink.format(b"/m.c2pa")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
manilink.format(url="/m.c2pa")  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
manilink.extract([b"<a>; rel=c2pa-manifest"])  # type: ignore[list-item]  # pyright: ignore[reportCallIssue, reportArgumentType]
manilink.extract({"<a>; rel=c2pa-manifest"})  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
manilink.REL = "next"  # type: ignore[misc]  # pyright accepts it


# A str is a Sequence[str] but is refused at run time; the stubs mark that
# overload deprecated, so the checkers report the call. One per function:
# the call never returns, so what follows it would go unchecked.
def one_str_value() -> None:
    manilink.extract("<a>; rel=c2pa-manifest")  # type: ignore[deprecated]  # pyright: ignore[reportDeprecated]


def one_str_value_to_locate_all() -> None:
    manilink.locate_all(values="<a>; rel=c2pa-manifest")  # type: ignore[deprecated]  # pyright: ignore[reportDeprecated]
