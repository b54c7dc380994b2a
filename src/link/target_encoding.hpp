// Percent-encoding of link targets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace manilink {

// Appends `target` to `out`, escaping every byte outside the literal set as
// "%XX" with upper-case hex digits.
void append_encoded_target(std::string &out, std::string_view target);

// The encoded form of `target`; never fails.
std::string encode_target(std::string_view target);

// Offset of the first byte outside the literal set, or npos when there is
// none (the target is then its own encoding).
std::size_t find_non_literal_byte(std::string_view target);

}  // namespace manilink
