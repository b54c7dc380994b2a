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

// The bytes of one block of a cut that can act, as bits: bit k for the byte
// at base + k. Texts are read in blocks of 16 bytes from their start; a
// shorter last block is read as if padded with NUL bytes, which never act.
inline constexpr std::size_t kCutBlockSize = 16;

inline std::uint32_t acting_bytes(std::string_view text, std::size_t base, char separator) {
  const std::size_t size = std::min(kCutBlockSize, text.size() - base);
#if defined(MANILINK_SSE2)
  char padded[kCutBlockSize] = {};
  const char *block = text.data() + base;
  if (size < kCutBlockSize) block = static_cast<const char *>(std::memcpy(padded, block, size));
  const __m128i bytes = load_block(block);
  const auto equal = [&](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  const __m128i quoting = _mm_or_si128(equal('"'), equal('\\'));
  const __m128i brackets = _mm_or_si128(equal('<'), equal('>'));
  return byte_mask(_mm_or_si128(_mm_or_si128(quoting, brackets), equal(separator)));
#else
  std::uint32_t acting = 0;
  for (std::size_t k = 0; k < size; ++k) {
    if (can_act(text[base + k], separator)) acting |= std::uint32_t{1} << k;
  }
  return acting;
#endif
}

// Cuts `text` at every `separator` ("," or ";") that stands outside quoted
// stretches and angle brackets, in one forward pass, and calls
// `visit(piece)` for each piece in text order: k such separators give k + 1
// pieces, any of which may be empty. `visit` returns false to stop early.
//
// The walk takes the bytes that can act in order, a block at a time, and
// handles each by the rules; every other byte is ordinary. When a block
// starts, `quoted`, `bracketed` and `piece_start` hold what the bytes before
// it left, and `stepped_over` is 1 when a backslash in quotes at the end of
// the previous block stepped over the first byte of this one, else 0.
template <class Visit>
void split_unquoted(std::string_view text, char separator, Visit &&visit) {
  bool quoted = false;     // inside a quoted stretch
  bool bracketed = false;  // a "<" came and no ">" since
  std::size_t piece_start = 0;
  std::uint32_t stepped_over = 0;
  for (std::size_t base = 0; base < text.size(); base += kCutBlockSize) {
    std::uint32_t acting = acting_bytes(text, base, separator) & ~stepped_over;
    stepped_over = 0;
    for (; acting != 0; acting &= acting - 1) {
      const unsigned k = lowest_set_bit(acting);
      const std::size_t i = base + k;
      const char byte = text[i];
      if (byte == '"') {
        quoted = !quoted;  // between "<" and ">" as well
      } else if (quoted) {
        if (byte == '\\') {
          // Steps over the next byte, whatever it is, maybe in the next block.
          if (k + 1 < kCutBlockSize) {
            acting &= ~(std::uint32_t{1} << (k + 1));
          } else {
            stepped_over = 1;
          }
        }
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
  }
  // The last piece runs to the end, also when a quote or bracket is open.
  visit(std::string_view(text.data() + piece_start, text.size() - piece_start));
}

}  // namespace manilink
