// The literal set: the bytes that may stand unescaped in a link target.
#pragma once

#include <cstddef>
#include <string_view>

namespace manilink {

// A set of byte values, decided by one table lookup.
struct ByteSet {
  bool members[256] = {};

  constexpr bool contains(unsigned char byte) const { return members[byte]; }

  constexpr std::size_t size() const {
    std::size_t count = 0;
    for (bool member : members) count += member ? 1 : 0;
    return count;
  }
};

namespace literal_lists {
// RFC 3986 section 2.3: unreserved = ALPHA / DIGIT / "-" / "." / "_" / "~"
inline constexpr std::string_view kUnreservedMarks = "-._~";
// RFC 3986 section 2.2: gen-delims and sub-delims
inline constexpr std::string_view kGenDelims = ":/?#[]@";
inline constexpr std::string_view kSubDelims = "!$&'()*+,;=";
// Kept literal so that an existing escape is copied, never encoded twice.
inline constexpr std::string_view kPercent = "%";
}  // namespace literal_lists

constexpr ByteSet make_literal_set() {
  ByteSet set;
  for (unsigned c = 'A'; c <= 'Z'; ++c) set.members[c] = true;
  for (unsigned c = 'a'; c <= 'z'; ++c) set.members[c] = true;
  for (unsigned c = '0'; c <= '9'; ++c) set.members[c] = true;
  for (std::string_view list : {literal_lists::kUnreservedMarks, literal_lists::kGenDelims,
                                literal_lists::kSubDelims, literal_lists::kPercent}) {
    for (char c : list) set.members[static_cast<unsigned char>(c)] = true;
  }
  return set;
}

inline constexpr ByteSet kLiteralSet = make_literal_set();
static_assert(kLiteralSet.size() == 85, "unreserved + reserved + '%' is 85 bytes");

inline constexpr bool is_literal_byte(char byte) {
  return kLiteralSet.contains(static_cast<unsigned char>(byte));
}

}  // namespace manilink
