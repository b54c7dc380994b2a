"""Read by mypy --strict only, never run: pins what the stubs promise.

Each `type: ignore[code]` below must stay needed (--warn-unused-ignores is
part of --strict), so the stubs keep refusing what the module refuses.
"""

from __future__ import annotations

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
    found["title"]  # type: ignore[typeddict-item]

assert_type(manilink.locate_all(["<a>; rel=c2pa-manifest"]), List["ManifestLink"])

manilink.format(b"/m.c2pa")  # type: ignore[arg-type]
manilink.format(url="/m.c2pa")  # type: ignore[call-arg]
manilink.extract([b"<a>; rel=c2pa-manifest"])  # type: ignore[list-item]
manilink.extract({"<a>; rel=c2pa-manifest"})  # type: ignore[arg-type]
manilink.REL = "next"  # type: ignore[misc, assignment]
