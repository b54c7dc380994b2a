// Reading Link header values (RFC 8288, read leniently) into manifest links.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "link/manifest_link.hpp"

namespace manilink {

// The bytes of one 16-byte block at which a cut may act, one mask per kind of
// byte: bit k stands for the byte at offset k.
struct CutBlock {
  unsigned quotes = 0;
  unsigned backslashes = 0;
  unsigned opens = 0;   // "<"
  unsigned closes = 0;  // ">"
  unsigned separators = 0;

  // The bytes of every kind.
  unsigned stops() const { return quotes | backslashes | opens | closes | separators; }
};

inline constexpr std::size_t kCutBlockSize = 16;

#if defined(__SSE2__)
// The bit mask of the bytes of `bytes` equal to `c`.
inline unsigned bytes_equal_to(__m128i bytes, char c) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}

// One bit per byte of the 16 bytes at `block`, set for a byte of any kind
// in CutBlock: the test that most blocks need, in one vector mask.
inline unsigned cut_stop_mask(const char *block, char separator) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
  const auto equals = [&](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  const __m128i quotes = _mm_or_si128(equals('"'), equals('\\'));
  const __m128i brackets = _mm_or_si128(equals('<'), equals('>'));
  const __m128i stops = _mm_or_si128(_mm_or_si128(quotes, brackets), equals(separator));
  return static_cast<unsigned>(_mm_movemask_epi8(stops));
}

// The masks of the 16 bytes at `block`.
inline CutBlock read_cut_block(const char *block, char separator) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
  return {bytes_equal_to(bytes, '"'), bytes_equal_to(bytes, '\\'), bytes_equal_to(bytes, '<'),
          bytes_equal_to(bytes, '>'), bytes_equal_to(bytes, separator)};
}
#else
// The masks of the 16 bytes at `block`, one byte at a time.
inline CutBlock read_cut_block(const char *block, char separator) {
  CutBlock masks;
  for (std::size_t k = 0; k < kCutBlockSize; ++k) {
    const unsigned bit = 1u << k;
    const char byte = block[k];
    if (byte == '"') masks.quotes |= bit;
    if (byte == '\\') masks.backslashes |= bit;
    if (byte == '<') masks.opens |= bit;
    if (byte == '>') masks.closes |= bit;
    if (byte == separator) masks.separators |= bit;
  }
  return masks;
}

inline unsigned cut_stop_mask(const char *block, char separator) {
  return read_cut_block(block, separator).stops();
}
#endif

// The masks of a block moved down by `shift` bits, for a block read `shift`
// bytes before the bytes wanted.
inline CutBlock shifted_down(const CutBlock &masks, std::size_t shift) {
  return {masks.quotes >> shift, masks.backslashes >> shift, masks.opens >> shift,
          masks.closes >> shift, masks.separators >> shift};
}

// The lowest set bit of `bits`.
constexpr unsigned lowest_bit(unsigned bits) { return bits & (0u - bits); }

// The bits from `bit` up: the bytes of a block from that one on.
constexpr unsigned bits_from(unsigned bit) { return 0u - bit; }

// The bit just after the run of set bits of `bits` that starts at `low`. A
// carry through the run stops at the first clear bit.
constexpr unsigned end_of_run(unsigned bits, unsigned low) { return (bits + low) & ~bits; }

// Whether a run from bit `low` up to bit `end` (excluded) has odd length,
// which is so when exactly one of the two bits is at an even offset.
constexpr bool is_odd_run(unsigned low, unsigned end) {
  constexpr unsigned kEvenBits = 0x55555555u;
  return ((low & kEvenBits) == 0) != ((end & kEvenBits) == 0);
}

inline std::size_t bit_index(unsigned bit) { return static_cast<std::size_t>(__builtin_ctz(bit)); }

// The state of one cut of a text, fed a block at a time.
//
// Most bytes at which a cut stops act alone: a quote, a "<" or ">" that
// opens or closes the brackets, a separator that cuts. Those are taken one
// after the other, found by one mask test per block. From the first other
// byte of a block on (a run of the same byte, a backslash in quotes, a byte
// that does nothing in the current state), the rest of the block is read
// with a mask per kind of byte: the cut jumps from one byte that acts in
// the current state to the next and passes a run of the same byte in one
// step. A text made of a few repeated bytes thus costs a few steps per block
// rather than one per byte.
template <class Visit>
class UnquotedCut {
 public:
  UnquotedCut(std::string_view text, Visit &visit) : text_(text), visit_(visit) {}

  // Reads the block whose bit 0 is the byte at `base`: `stops` marks its
  // bytes of every kind, and `read_masks()` gives its masks by kind. Returns
  // false when `visit` asked to stop.
  template <class ReadMasks>
  bool read_block(std::size_t base, unsigned stops, ReadMasks &&read_masks) {
    stops &= ~skipped_;
    skipped_ = 0;
    for (; stops != 0; stops &= stops - 1) {
      const std::size_t i = base + bit_index(stops);
      const char byte = text_[i];
      // Each `break` hands the byte at `i` and the rest of the block to
      // read_acting_bytes.
      if (byte == '"') {
        if (repeats(stops, base, i)) break;
        quoted_ = !quoted_;
      } else if (quoted_ || byte == '\\') {
        break;
      } else if (byte == '<') {
        if (bracketed_) break;
        bracketed_ = true;
      } else if (byte == '>') {
        if (!bracketed_) break;
        bracketed_ = false;
      } else {  // the separator
        if (bracketed_ || repeats(stops, base, i)) break;
        if (!visit_piece(i)) return false;
        piece_start_ = i + 1;
      }
    }
    return stops == 0 || read_acting_bytes(base, read_masks(), lowest_bit(stops));
  }

  // Visits the last piece, which runs to the end of the text.
  void finish() { visit_piece(text_.size()); }

 private:
  // Reads the rest of the block from bit `first` on, one byte that acts in
  // the current state or one run of such bytes at a time. Inlined by force:
  // called out of line, it would keep the flags of the cut in memory for the
  // loop of read_block too.
  [[gnu::always_inline]] bool read_acting_bytes(std::size_t base, const CutBlock &masks,
                                                unsigned first) {
    if (only_quotes_act(masks, bits_from(first))) {
      // They toggle quoted and do nothing else: the parity of their count decides.
      if (__builtin_parity(masks.quotes & bits_from(first))) quoted_ = !quoted_;
      return true;
    }
    unsigned stops = acting_bytes(masks) & bits_from(first);
    while (stops != 0) {
      const unsigned low = lowest_bit(stops);
      if (masks.quotes & low) {
        // Each quote toggles quoted, whatever bracketed says.
        const unsigned end = end_of_run(masks.quotes, low);
        if (is_odd_run(low, end)) quoted_ = !quoted_;
        stops = acting_bytes(masks) & bits_from(end);
      } else if (masks.backslashes & low) {
        // Inside quotes each backslash steps over the byte after it, so an
        // odd run of backslashes ends one byte further, maybe in the next block.
        unsigned end = end_of_run(masks.backslashes, low);
        if (is_odd_run(low, end)) end <<= 1;
        skipped_ = (end - 1) >> kCutBlockSize;
        stops &= bits_from(end);
      } else if (masks.opens & low) {
        bracketed_ = true;
        stops = acting_bytes(masks) & bits_from(low << 1);
      } else if (masks.closes & low) {
        bracketed_ = false;
        stops = acting_bytes(masks) & bits_from(low << 1);
      } else {
        // Separators side by side leave empty pieces, which are not visited.
        if (!visit_piece(base + bit_index(low))) return false;
        const unsigned end = end_of_run(masks.separators, low);
        piece_start_ = base + bit_index(end);
        stops &= bits_from(end);
      }
    }
    return true;
  }

  // Whether the byte at `i`, a stop of the block at `base`, is followed by the same byte.
  bool repeats(unsigned stops, std::size_t base, std::size_t i) const {
    // A stop bit after that of `i` means the byte after it is within the text.
    return (stops & (2u << (i - base))) && text_[i + 1] == text_[i];
  }

  // Whether quotes are the only bytes of `masks` within `rest` that can act,
  // inside quotes and outside them: bracketed cannot change then either.
  bool only_quotes_act(const CutBlock &masks, unsigned rest) const {
    const unsigned outside = bracketed_ ? masks.closes : masks.opens | masks.separators;
    return ((masks.backslashes | outside) & rest) == 0;
  }

  // The bits of `masks` for the bytes that act in the current state.
  unsigned acting_bytes(const CutBlock &masks) const {
    if (quoted_) return masks.quotes | masks.backslashes;
    // Between brackets a "<" changes nothing; outside them a ">" changes nothing.
    if (bracketed_) return masks.quotes | masks.closes;
    return masks.quotes | masks.opens | masks.separators;
  }

  // Visits the piece from the piece start up to `end`, unless it is empty.
  bool visit_piece(std::size_t end) {
    if (end == piece_start_) return true;
    // `end` is within the text: the piece needs no bounds check.
    return visit_(std::string_view(text_.data() + piece_start_, end - piece_start_));
  }

  std::string_view text_;
  Visit &visit_;
  bool quoted_ = false;
  bool bracketed_ = false;
  std::size_t piece_start_ = 0;
  // Bytes at the start of the next block that a backslash stepped over, as bits.
  unsigned skipped_ = 0;
};

// Cuts `text` at every `separator` that stands outside quoted stretches and
// angle brackets, in one forward pass, and calls `visit(piece)` for each
// non-empty piece in order. Empty pieces (from separators side by side, at
// either end, or an empty text) are not visited: neither reader has anything
// to take from them. `visit` returns false to stop early.
template <class Visit>
void split_unquoted(std::string_view text, char separator, Visit &&visit) {
  UnquotedCut<Visit> cut(text, visit);
  std::size_t base = 0;
  for (; base + kCutBlockSize <= text.size(); base += kCutBlockSize) {
    const char *block = text.data() + base;
    const auto read_masks = [&] { return read_cut_block(block, separator); };
    if (!cut.read_block(base, cut_stop_mask(block, separator), read_masks)) return;
  }
  if (const std::size_t rest = text.size() - base; rest != 0) {
    // The bytes after the last full block: the last 16 bytes, less those
    // already read, or a zero-padded copy of a short text (a NUL byte never
    // acts in a cut).
    char padded[kCutBlockSize] = {};
    const char *block = padded;
    std::size_t shift = 0;
    if (text.size() >= kCutBlockSize) {
      block = text.data() + text.size() - kCutBlockSize;
      shift = kCutBlockSize - rest;
    } else {
      std::memcpy(padded, text.data(), rest);
    }
    const auto read_masks = [&] { return shifted_down(read_cut_block(block, separator), shift); };
    if (!cut.read_block(base, cut_stop_mask(block, separator) >> shift, read_masks)) return;
  }
  // The last piece is visited even when a quote or bracket is still open.
  cut.finish();
}

// A byte from 0x21 to 0x7F is a whole character and not White_Space.
constexpr bool is_visible_ascii(char byte) {
  return static_cast<unsigned char>(byte) > 0x20 && static_cast<unsigned char>(byte) < 0x80;
}

// trim_white_space for a text that begins or ends with another byte.
std::string_view trim_white_space_ends(std::string_view text);

// Removes the characters of the Unicode White_Space property from both ends.
inline std::string_view trim_white_space(std::string_view text) {
  // Most texts begin and end with a visible ASCII byte, maybe after the
  // space that follows a "," or ";": nothing else to remove.
  if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (!text.empty() && is_visible_ascii(text.front()) && is_visible_ascii(text.back())) {
    return text;
  }
  return trim_white_space_ends(text);
}

// One parameter of a link-value, as views into it: the name, trimmed, which
// is compared with ASCII case folded; and the value, trimmed, still to be
// unquoted with unquote_value. A piece without "=" is a name with an empty
// value.
struct LinkParam {
  std::string_view name;
  std::string_view value;
};

// Reads one trimmed, non-empty parameter piece.
LinkParam read_parameter(std::string_view piece);

// A value that begins and ends with a double quote loses them, and each
// backslash inside escapes the character after it. Any other value is kept
// verbatim.
std::string unquote_value(std::string_view value);

// True when one of the relation types of a `rel` value is "c2pa-manifest".
bool has_manifest_relation(std::string_view relation_types);

// The record for a target, with a jumbf reference in its fragment reduced to
// "#jumbf=" and the reference's first segment.
ManifestLink make_manifest_link(std::string_view target);

// The manifest link of one link-value, or nothing when it cannot be read or
// advertises other relations only.
std::optional<ManifestLink> read_link_value(std::string_view piece);

// Every manifest link of the header values, in order. Never fails.
std::vector<ManifestLink> parse_manifest_links(const std::vector<std::string> &values);

}  // namespace manilink
