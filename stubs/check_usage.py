"""Read by the type checkers only, never run: pins what the stubs promise.

Each `type: ignore[code]` below must stay needed by mypy (its
--warn-unused-ignores), and each `pyright: ignore[rule]` by basedpyright
(reportUnnecessaryTypeIgnoreComment), under default and under strict
settings, so the stubs keep refusing what the module refuses. No line may be
unreachable (mypy reports an unneeded ignore there too, basedpyright
reportUnreachable), so an error after a refused call still counts.
"""

from __future__ import annotations

from collections import UserList, deque
from collections.abc import Sequence
from typing import TYPE_CHECKING, List, Literal, Optional, overload

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
manilink.extract([b"<a>; rel=c2pa-manifest"])  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
manilink.extract({"<a>; rel=c2pa-manifest"})  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
manilink.REL = "next"  # type: ignore[misc]  # pyright accepts it


class Fields(Sequence[str]):
    """A sequence of its own: what the module reads with len() and iteration."""

    def __init__(self, *values: str) -> None:
        self.values = values

    @overload
    def __getitem__(self, index: int) -> str: ...
    @overload
    def __getitem__(self, index: slice) -> Sequence[str]: ...
    def __getitem__(self, index: int | slice) -> str | Sequence[str]:
        return self.values[index]

    def __len__(self) -> int:
        return len(self.values)


for accepted in (Fields("<a>"), deque(["<a>"]), UserList(["<a>"]), ["<a>"], ("<a>",)):
    assert_type(manilink.extract(accepted), Optional["ManifestLink"])
    assert_type(manilink.locate_all(accepted), List["ManifestLink"])

# A str is a Sequence[str] but is refused at run time (TypeError): an
# ordinary argument-type error, and the code after it is still checked.
manilink.extract("<a>; rel=c2pa-manifest")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
manilink.locate_all(values="<a>; rel=c2pa-manifest")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
still_checked: int = "text"  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]


def refused_inside_a_function(value: str) -> int:
    manilink.locate_all(value)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    return "still checked"  # type: ignore[return-value]  # pyright: ignore[reportReturnType]
