// Reading Link header values (RFC 8288, read leniently) into manifest links.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/manifest_link.hpp"

namespace manilink {

// Calls `visit(piece)` for each piece of `text` cut at every `separator` that
// stands outside quoted stretches and angle brackets, in one forward pass.
// There is always at least one piece; pieces may be empty. `visit` returns
// false to stop early.
template <class Visit>
void for_each_unquoted_piece(std::string_view text, char separator, Visit &&visit) {
  bool quoted = false;
  bool bracketed = false;
  std::size_t piece_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
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

std::vector<std::string_view> split_unquoted(std::string_view text, char separator);

// Removes the characters of the Unicode White_Space property from both ends.
std::string_view trim_white_space(std::string_view text);

// One parameter of a link-value: its name ASCII-lowercased, its value
// unquoted.
struct LinkParam {
  std::string name;
  std::string value;
};

// Reads one trimmed, non-empty parameter piece.
LinkParam read_parameter(std::string_view piece);

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
