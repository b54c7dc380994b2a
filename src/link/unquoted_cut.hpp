// Cutting a text at the separators that stand outside quoted stretches and
// angle brackets. Internal to the parser; the fuzzer checks it against a cut
// made one byte at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "link/literal_set.hpp"
#include "link/portable.hpp"

namespace manilink {

// The bytes that can act in a cut whatever its state, beside the separator.
// Every other byte is ordinary and is passed over unread.
inline constexpr ByteSet kQuotesAndBrackets = [] {
  ByteSet set;
  for (char c : std::string_view("\"\\<>")) set.members[static_cast<unsigned char>(c)] = true;
  return set;
}();

inline constexpr bool can_act(char byte, char separator) {
  return kQuotesAndBrackets.contains(static_cast<unsigned char>(byte)) || byte == separator;
}

#if defined(MANILINK_SSE2)
// Hands out the offsets of the bytes of a text that can act, in order, found
// 16 bytes at a time by a vector compare.
class ActingBytes {
 public:
  ActingBytes(std::string_view text, char separator) : text_(text), separator_(separator) {
    if (text.size() >= kBlockSize) {
      mask_ = acting_in_block(text.data());
    } else if (!text.empty()) {
      // A short text is read from a zero-padded copy; a NUL byte never acts.
      char padded[kBlockSize] = {};
      std::memcpy(padded, text.data(), text.size());
      mask_ = acting_in_block(padded);
    }
  }

  // The offset of the first byte at or after `from` that can act, or the
  // text's size when there is none. `from` may pass the end, and it never goes
  // down from one call to the next.
  //
  // Invariant at every call: `mask_` has bit k set for each byte at
  // base_ + k (k < 16) that can act, and base_ <= from. The walk has handed
  // out or stepped over every byte before `from`, so only the bits from
  // from - base_ up still count. A backslash in quotes at the end of a block
  // makes the walk ask for the second byte of the next one, and the first
  // byte is then passed over like any stepped-over byte.
  std::size_t next(std::size_t from) {
    for (;;) {
      if (from < base_ + kBlockSize) {
        const std::uint32_t ahead = mask_ & (~std::uint32_t{0} << (from - base_));
        if (ahead != 0) return base_ + lowest_set_bit(ahead);
        from = base_ + kBlockSize;  // the rest of the block is ordinary
      }
      if (from >= text_.size()) return text_.size();
      // The next block. The last one ends with the text, so it may overlap
      // bytes already passed; `from` keeps them out.
      base_ = std::min(base_ + kBlockSize, text_.size() - kBlockSize);
      mask_ = acting_in_block(text_.data() + base_);
    }
  }

 private:
  static constexpr std::size_t kBlockSize = 16;

  std::uint32_t acting_in_block(const char *block) const {
    const __m128i bytes = load_block(block);
    const auto equal = [&](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
    const __m128i quoting = _mm_or_si128(equal('"'), equal('\\'));
    const __m128i brackets = _mm_or_si128(equal('<'), equal('>'));
    return byte_mask(_mm_or_si128(_mm_or_si128(quoting, brackets), equal(separator_)));
  }

  std::string_view text_;
  char separator_;
  std::size_t base_ = 0;
  std::uint32_t mask_ = 0;
};
#else
// Hands out the offsets of the bytes of a text that can act, in order, one
// table lookup per byte.
class ActingBytes {
 public:
  ActingBytes(std::string_view text, char separator) : text_(text), separator_(separator) {}

  // The offset of the first byte at or after `from` that can act, or the
  // text's size when there is none.
  std::size_t next(std::size_t from) const {
    while (from < text_.size() && !can_act(text_[from], separator_)) ++from;
    return from < text_.size() ? from : text_.size();
  }

 private:
  std::string_view text_;
  char separator_;
};
#endif

// Cuts `text` at every `separator` ("," or ";") that stands outside quoted
// stretches and angle brackets, in one forward pass, and calls
// `visit(piece)` for each piece in text order: k such separators give k + 1
// pieces, any of which may be empty. `visit` returns false to stop early.
template <class Visit>
void split_unquoted(std::string_view text, char separator, Visit &&visit) {
  bool quoted = false;     // inside a quoted stretch
  bool bracketed = false;  // a "<" came and no ">" since
  std::size_t piece_start = 0;
  ActingBytes acting(text, separator);
  for (std::size_t i = acting.next(0); i < text.size(); i = acting.next(i + 1)) {
    const char byte = text[i];
    if (byte == '"') {
      quoted = !quoted;  // between "<" and ">" as well
    } else if (quoted) {
      if (byte == '\\') ++i;  // steps over the next byte, whatever it is
    } else if (byte == '<') {
      bracketed = true;
    } else if (byte == '>') {
      bracketed = false;
    } else if (byte == separator && !bracketed) {
      if (!visit(std::string_view(text.data() + piece_start, i - piece_start))) return;
      piece_start = i + 1;
    }
    // Outside quotes a backslash is ordinary.
  }
  // The last piece runs to the end, also when a quote or bracket is open.
  visit(std::string_view(text.data() + piece_start, text.size() - piece_start));
}

}  // namespace manilink
