// Percent-encoding of link targets.
#pragma once

#include <cstddef>
#include <string_view>

#include "link/text_builder.hpp"

namespace manilink {

// Appends `target` to `out`, escaping every byte outside the literal set as
// "%XX" with upper-case hex digits.
void append_encoded_target(TextBuilder &out, std::string_view target);

// The encoded form of `target`, at most three times as long. A target made
// of literal bytes only is its own encoding and comes back as it is; any
// other is encoded into `out`.
std::string_view encode_target(std::string_view target, TextBuilder &out);

// Offset of the first byte outside the literal set, or npos when there is
// none (the target is then its own encoding).
std::size_t find_non_literal_byte(std::string_view target);

}  // namespace manilink
