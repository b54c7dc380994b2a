#include "link/edge.hpp"

#include <new>
#include <utility>

#include "link/header_format.hpp"
#include "link/header_parser.hpp"
#include "link/link_selection.hpp"
#include "link/target_encoding.hpp"
#include "link/text_builder.hpp"

namespace manilink::edge {

namespace {

// Runs `operation` and reports whatever it throws as a LinkError.
template <class T, class Operation>
Result<T> guarded(Operation &&operation) noexcept {
  try {
    return operation();
  } catch (const std::bad_alloc &) {
    return LinkError::out_of_memory();
  } catch (...) {
    return LinkError::internal({});
  }
}

// Hands the list over to `storage`, which then owns it.
const LinkList &keep(LinkList &&list, LinkStorage &storage) {
  auto *const kept = new LinkList(std::move(list));
  storage.list = kept;
  return *kept;
}

// Runs a text operation of the logic on `target`, writing into `out`.
template <class Operation>
Result<WrittenText> written(std::string_view target, TextBuffer out,
                            Operation &&operation) noexcept {
  return guarded<WrittenText>([&]() -> Result<WrittenText> {
    TextBuilder text(out.data, out.capacity);
    const Result<std::string_view> value = operation(target, text);
    if (value.failed()) return value.failure();
    if (!text.fits()) return WrittenText{{}, text.size()};
    return WrittenText{value.value(), 0};
  });
}

}  // namespace

Result<WrittenText> format_link_value(std::string_view target, TextBuffer out) noexcept {
  return written(target, out, manilink::format_link_value);
}

Result<WrittenText> format_link_value_strict(std::string_view target, TextBuffer out) noexcept {
  return written(target, out, manilink::format_link_value_strict);
}

Result<WrittenText> encode_target(std::string_view target, TextBuffer out) noexcept {
  return written(target, out, [](std::string_view text, TextBuilder &encoded) {
    return Result<std::string_view>(manilink::encode_target(text, encoded));
  });
}

Result<LinkSpan> parse_manifest_links(HeaderValues values, LinkStorage &storage) noexcept {
  return guarded<LinkSpan>([&] {
    LinkList list = manilink::parse_manifest_links(values);
    if (list.links.empty()) return Result<LinkSpan>(LinkSpan{nullptr, 0});
    const LinkList &kept = keep(std::move(list), storage);
    return Result<LinkSpan>(LinkSpan{kept.links.data(), kept.links.size()});
  });
}

Result<ManifestLink> select_manifest_link(HeaderValues values, LinkStorage &storage) noexcept {
  return guarded<ManifestLink>([&] {
    LinkList list;
    const Result<ManifestLink> selected = manilink::select_manifest_link(values, list);
    // The selected uri may have been rewritten into the list: keep that.
    if (!list.rewritten.empty()) {
      list.links = {};
      keep(std::move(list), storage);
    }
    return selected;
  });
}

void release(LinkStorage storage) noexcept { delete static_cast<LinkList *>(storage.list); }

}  // namespace manilink::edge
