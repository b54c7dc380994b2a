// The header values of one call, as the logic reads them.
#pragma once

#include <cstddef>
#include <string_view>

namespace manilink {

// Views of texts that the caller keeps alive while it uses what the logic
// read from them: a pointer and a count, read in place.
struct HeaderValues {
  const std::string_view *data;
  std::size_t size;

  constexpr const std::string_view *begin() const noexcept { return data; }
  constexpr const std::string_view *end() const noexcept { return data + size; }
};

}  // namespace manilink
