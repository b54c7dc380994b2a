// Reading Link header values (RFC 8288, read leniently) into manifest links.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/literal_set.hpp"
#include "link/manifest_link.hpp"

namespace manilink {

// The bytes besides the separator at which a cut may change its state.
inline constexpr ByteSet kCutStateBytes = [] {
  ByteSet bytes;
  for (char byte : {'"', '\\', '<', '>'}) bytes.members[static_cast<unsigned char>(byte)] = true;
  return bytes;
}();

// Cuts `text` at every `separator` that stands outside quoted stretches and
// angle brackets, in one forward pass, and calls `visit(piece)` for each
// piece in order. There is always at least one piece; pieces may be empty.
// `visit` returns false to stop early.
template <class Visit>
void split_unquoted(std::string_view text, char separator, Visit &&visit) {
  bool quoted = false;
  bool bracketed = false;
  std::size_t piece_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Pass over the bytes that change nothing with one lookup each.
    while (i < text.size() && text[i] != separator && !kCutStateBytes.contains(
                                                          static_cast<unsigned char>(text[i]))) {
      ++i;
    }
    if (i == text.size()) break;
    const char byte = text[i];
    if (byte == '"') {
      // A quote opens a quoted stretch also between "<" and ">".
      quoted = !quoted;
    } else if (quoted) {
      if (byte == '\\') ++i;  // the escaped byte neither closes nor cuts
    } else if (byte == '<') {
      bracketed = true;
    } else if (byte == '>') {
      bracketed = false;
    } else if (byte == separator && !bracketed) {
      if (!visit(text.substr(piece_start, i - piece_start))) return;
      piece_start = i + 1;
    }
  }
  // The last piece is emitted even when a quote or bracket is still open.
  visit(text.substr(piece_start));
}

// Removes the characters of the Unicode White_Space property from both ends.
std::string_view trim_white_space(std::string_view text);

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
