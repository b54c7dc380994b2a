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

#include "link/literal_set.hpp"
#include "link/manifest_link.hpp"

namespace manilink {

// The bytes besides the separator at which a cut may change its state.
inline constexpr ByteSet kCutStateBytes = [] {
  ByteSet bytes;
  for (char byte : {'"', '\\', '<', '>'}) bytes.members[static_cast<unsigned char>(byte)] = true;
  return bytes;
}();

#if defined(__SSE2__)
// A bit per byte of the 16 bytes at `block`, set for the separator and the
// cut state bytes.
inline unsigned cut_stop_mask(const char *block, char separator) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
  const auto equals = [&](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  const __m128i quotes = _mm_or_si128(equals('"'), equals('\\'));
  const __m128i brackets = _mm_or_si128(equals('<'), equals('>'));
  const __m128i stops = _mm_or_si128(_mm_or_si128(quotes, brackets), equals(separator));
  return static_cast<unsigned>(_mm_movemask_epi8(stops));
}

// Calls `at(base + k)` for every bit k of `stops`, lowest first, until `at`
// returns false; returns false then.
template <class At>
bool call_at_stops(std::size_t base, unsigned stops, At &at) {
  for (; stops != 0; stops &= stops - 1) {
    if (!at(base + static_cast<std::size_t>(__builtin_ctz(stops)))) return false;
  }
  return true;
}

// Calls `at(i)` for the position of every separator and cut state byte of
// `text`, in order. Literal runs cost one vector test per 16 bytes instead of
// one lookup per byte. `at` returns false to stop; so does the function.
template <class At>
bool for_each_cut_stop(std::string_view text, char separator, At &&at) {
  constexpr std::size_t kBlock = 16;
  std::size_t block = 0;
  for (; block + kBlock <= text.size(); block += kBlock) {
    if (!call_at_stops(block, cut_stop_mask(text.data() + block, separator), at)) return false;
  }
  const std::size_t rest = text.size() - block;
  if (rest == 0) return true;
  if (text.size() >= kBlock) {
    // The last 16 bytes, less the stops already called.
    const unsigned last = cut_stop_mask(text.data() + text.size() - kBlock, separator);
    return call_at_stops(block, last >> (kBlock - rest), at);
  }
  // A short text is read from a zero-padded copy; a NUL byte never stops a cut.
  char padded[kBlock] = {};
  std::memcpy(padded, text.data(), rest);
  return call_at_stops(0, cut_stop_mask(padded, separator), at);
}
#else
// The same with one lookup per byte.
template <class At>
bool for_each_cut_stop(std::string_view text, char separator, At &&at) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i];
    if ((byte == separator || kCutStateBytes.contains(static_cast<unsigned char>(byte))) &&
        !at(i)) {
      return false;
    }
  }
  return true;
}
#endif

// Cuts `text` at every `separator` that stands outside quoted stretches and
// angle brackets, in one forward pass, and calls `visit(piece)` for each
// piece in order. There is always at least one piece; pieces may be empty.
// `visit` returns false to stop early.
template <class Visit>
void split_unquoted(std::string_view text, char separator, Visit &&visit) {
  bool quoted = false;
  bool bracketed = false;
  std::size_t piece_start = 0;
  std::size_t escaped = std::string_view::npos;  // the byte after a backslash in quotes
  const bool finished = for_each_cut_stop(text, separator, [&](std::size_t i) {
    if (i == escaped) return true;  // it neither closes nor cuts
    const char byte = text[i];
    if (byte == '"') {
      // A quote opens a quoted stretch also between "<" and ">".
      quoted = !quoted;
    } else if (quoted) {
      if (byte == '\\') escaped = i + 1;
    } else if (byte == '<') {
      bracketed = true;
    } else if (byte == '>') {
      bracketed = false;
    } else if (byte == separator && !bracketed) {
      // `i` is within `text`: the piece needs no bounds check.
      if (!visit(std::string_view(text.data() + piece_start, i - piece_start))) return false;
      piece_start = i + 1;
    }
    return true;
  });
  // The last piece is emitted even when a quote or bracket is still open.
  if (finished) visit(text.substr(piece_start));
}

// A byte from 0x21 to 0x7F is a whole character and not White_Space.
constexpr bool is_visible_ascii(char byte) {
  return static_cast<unsigned char>(byte) > 0x20 && static_cast<unsigned char>(byte) < 0x80;
}

// trim_white_space for a text that begins or ends with another byte.
std::string_view trim_white_space_ends(std::string_view text);

// Removes the characters of the Unicode White_Space property from both ends.
inline std::string_view trim_white_space(std::string_view text) {
  // Most texts begin and end with a visible ASCII byte: nothing to remove.
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
