#include "link/edge.hpp"

#include <new>

#include "link/header_format.hpp"
#include "link/header_parser.hpp"
#include "link/link_selection.hpp"
#include "link/target_encoding.hpp"

namespace manilink::edge {

namespace {

// Runs `operation` and turns whatever it throws into a NativeFailure.
template <class T, class Operation>
Checked<T> guarded(Operation &&operation) noexcept {
  try {
    return operation();
  } catch (const std::bad_alloc &) {
    return NativeFailure::OutOfMemory;
  } catch (...) {
    return NativeFailure::Unexpected;
  }
}

// A Result of the logic as a Checked value.
template <class T>
Checked<T> checked(Result<T> result) {
  if (!result.ok()) return result.error();
  return std::move(result.value());
}

}  // namespace

bool TextList::reserve(std::size_t count) noexcept {
  try {
    texts_.reserve(count);
    return true;
  } catch (...) {
    return false;
  }
}

bool TextList::append(std::string_view text) noexcept {
  try {
    texts_.emplace_back(text);
    return true;
  } catch (...) {
    return false;
  }
}

Checked<std::string_view> format_link_value(std::string_view target, TextBuilder &out) noexcept {
  return guarded<std::string_view>(
      [&] { return checked(manilink::format_link_value(target, out)); });
}

Checked<std::string_view> format_link_value_strict(std::string_view target,
                                                   TextBuilder &out) noexcept {
  return guarded<std::string_view>(
      [&] { return checked(manilink::format_link_value_strict(target, out)); });
}

Checked<std::string_view> encode_target(std::string_view target, TextBuilder &out) noexcept {
  return guarded<std::string_view>(
      [&] { return Checked<std::string_view>(manilink::encode_target(target, out)); });
}

Checked<std::vector<ManifestLink>> parse_manifest_links(const TextList &values) noexcept {
  return guarded<std::vector<ManifestLink>>([&] {
    return Checked<std::vector<ManifestLink>>(manilink::parse_manifest_links(values.texts()));
  });
}

Checked<ManifestLink> select_manifest_link(const TextList &values) noexcept {
  return guarded<ManifestLink>(
      [&] { return checked(manilink::select_manifest_link(values.texts())); });
}

}  // namespace manilink::edge
