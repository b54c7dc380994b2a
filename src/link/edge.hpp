// The link logic as the interpreter glue calls it.
//
// The glue is built without exceptions, so that a thread which the
// interpreter ends inside a call unwinds through it untouched. It must
// therefore call nothing that throws: every operation here is noexcept
// (asserted below) and reports what the logic throws (running out of memory,
// above all) as a LinkError. What crosses this edge is plain data, trivially
// copyable (asserted below): no code of it is built under both exception
// settings. The glue reaches the logic through this header alone; the build
// checks its objects against the list of what they may call.
#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

#include "link/header_values.hpp"
#include "link/link_error.hpp"
#include "link/manifest_link.hpp"

namespace manilink::edge {

// Storage that the caller owns for a text result.
struct TextBuffer {
  char *data;
  std::size_t capacity;
};

// A text result: `text` when it fit in the buffer (or needed none: a target
// that is its own encoding), else `needed`, the size of a buffer it fits in.
struct WrittenText {
  std::string_view text;
  std::size_t needed;  // 0 when it fit
};

// "<" encoded target ">; rel=\"c2pa-manifest\""; Malformed when the target
// is empty.
Result<WrittenText> format_link_value(std::string_view target, TextBuffer out) noexcept;

// The same with the target unchanged; Malformed when it is empty or needs
// encoding.
Result<WrittenText> format_link_value_strict(std::string_view target, TextBuffer out) noexcept;

// The percent-encoded target: `target` itself when it needs no escape.
Result<WrittenText> encode_target(std::string_view target, TextBuffer out) noexcept;

// What the logic allocated for the links of one call (the list, and uris it
// rewrote), for the caller to release once it has read them; null when
// nothing was allocated. Must be null when handed to an operation.
struct LinkStorage {
  void *list;
};

// Links in the caller's LinkStorage, or views of the header values.
struct LinkSpan {
  const ManifestLink *data;
  std::size_t size;
};

// Every manifest link of the values, in order.
Result<LinkSpan> parse_manifest_links(HeaderValues values, LinkStorage &storage) noexcept;

// The one advertised manifest link; NotFound or Conflict otherwise.
Result<ManifestLink> select_manifest_link(HeaderValues values, LinkStorage &storage) noexcept;

// Frees what an operation left in `storage`.
void release(LinkStorage storage) noexcept;

static_assert(noexcept(format_link_value({}, {})) && noexcept(format_link_value_strict({}, {})) &&
                  noexcept(encode_target({}, {})),
              "the glue, built without exceptions, calls only noexcept operations");
static_assert(noexcept(parse_manifest_links({}, std::declval<LinkStorage &>())) &&
                  noexcept(select_manifest_link({}, std::declval<LinkStorage &>())) &&
                  noexcept(release({})),
              "the glue, built without exceptions, calls only noexcept operations");
static_assert(std::is_trivially_copyable_v<TextBuffer> && std::is_trivially_copyable_v<LinkSpan> &&
                  std::is_trivially_copyable_v<LinkStorage> &&
                  std::is_trivially_copyable_v<HeaderValues> &&
                  std::is_trivially_copyable_v<Result<WrittenText>> &&
                  std::is_trivially_copyable_v<Result<LinkSpan>> &&
                  std::is_trivially_copyable_v<Result<ManifestLink>>,
              "what crosses the edge is plain data");

}  // namespace manilink::edge
