#include "link/header_parser.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/unquoted_cut.hpp"

namespace manilink {

namespace {

constexpr std::string_view kJumbfPrefix = "jumbf=";

constexpr char fold_ascii(char byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// Compares `text` with a lower-case ASCII `expected`, folding ASCII letters of
// `text` only.
bool equals_folded(std::string_view text, std::string_view expected) {
  if (text.size() != expected.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (fold_ascii(text[i]) != expected[i]) return false;
  }
  return true;
}

// A byte from 0x21 to 0x7F is a whole character and not White_Space.
constexpr bool is_visible_ascii(char byte) {
  return static_cast<unsigned char>(byte) > 0x20 && static_cast<unsigned char>(byte) < 0x80;
}

constexpr bool is_byte(char byte, unsigned value) {
  return static_cast<unsigned char>(byte) == value;
}

// White_Space characters beyond ASCII, as UTF-8 sequences:
// U+0085 and U+00A0 take two bytes; U+1680, U+2000-U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000 take three.
bool is_two_byte_white_space(char lead, char tail) {
  return is_byte(lead, 0xC2) && (is_byte(tail, 0x85) || is_byte(tail, 0xA0));
}

bool is_three_byte_white_space(char lead, char middle, char tail) {
  const auto b1 = static_cast<unsigned char>(middle);
  const auto b2 = static_cast<unsigned char>(tail);
  switch (static_cast<unsigned char>(lead)) {
    case 0xE1:
      return b1 == 0x9A && b2 == 0x80;
    case 0xE2:
      if (b1 == 0x80) return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
      return b1 == 0x81 && b2 == 0x9F;
    case 0xE3:
      return b1 == 0x80 && b2 == 0x80;
    default:
      return false;
  }
}

constexpr bool is_ascii_white_space(char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// Byte length of the White_Space character that begins `text`, or 0.
std::size_t leading_white_space(std::string_view text) {
  const std::size_t n = text.size();
  if (n == 0 || is_visible_ascii(text[0])) return 0;
  if (is_ascii_white_space(text[0])) return 1;
  if (n >= 2 && is_two_byte_white_space(text[0], text[1])) return 2;
  if (n >= 3 && is_three_byte_white_space(text[0], text[1], text[2])) return 3;
  return 0;
}

// Byte length of the White_Space character that ends `text`, or 0.
std::size_t trailing_white_space(std::string_view text) {
  const std::size_t n = text.size();
  if (n == 0 || is_visible_ascii(text[n - 1])) return 0;
  if (is_ascii_white_space(text[n - 1])) return 1;
  if (n >= 2 && is_two_byte_white_space(text[n - 2], text[n - 1])) return 2;
  if (n >= 3 && is_three_byte_white_space(text[n - 3], text[n - 2], text[n - 1])) return 3;
  return 0;
}

// Removes the characters of the Unicode White_Space property from both ends.
std::string_view trim_white_space(std::string_view text) {
  // Most texts begin and end with a visible ASCII byte, maybe after the
  // space that follows a "," or ";": nothing else to remove.
  if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (!text.empty() && is_visible_ascii(text.front()) && is_visible_ascii(text.back())) {
    return text;
  }
  while (std::size_t n = leading_white_space(text)) text.remove_prefix(n);
  while (std::size_t n = trailing_white_space(text)) text.remove_suffix(n);
  return text;
}

constexpr bool is_relation_separator(char byte) {
  // U+000B is White_Space but does not separate relation types.
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\f' || byte == '\r';
}

// One parameter of a link-value, as views into it: the name, trimmed, which
// is compared with ASCII case folded; and the value, trimmed, still to be
// unquoted. A piece without "=" is a name with an empty value.
struct LinkParam {
  std::string_view name;
  std::string_view value;
};

// Reads one trimmed, non-empty parameter piece.
LinkParam read_parameter(std::string_view piece) {
  const std::size_t equals = piece.find('=');
  if (equals == std::string_view::npos) return {piece, {}};
  return {trim_white_space(piece.substr(0, equals)), trim_white_space(piece.substr(equals + 1))};
}

// The value of the first parameter named "rel" as written, still quoted, if
// any; later parameters are not looked at.
std::optional<std::string_view> first_relation_value(std::string_view parameter_text) {
  std::optional<std::string_view> relation_types;
  split_unquoted(parameter_text, ';', [&](std::string_view piece) {
    piece = trim_white_space(piece);
    if (piece.empty()) return true;  // ";" after ">", doubled or trailing
    const LinkParam parameter = read_parameter(piece);
    if (!equals_folded(parameter.name, "rel")) return true;
    relation_types = parameter.value;
    return false;
  });
  return relation_types;
}

// At least two bytes, with a double quote at each end.
bool is_quoted(std::string_view value) {
  return value.size() >= 2 && value.front() == '"' && value.back() == '"';
}

// A value that begins and ends with a double quote loses them, and each
// backslash inside escapes the character after it. Any other value is kept
// verbatim.
std::string unquote_value(std::string_view value) {
  if (!is_quoted(value)) return std::string(value);
  const std::string_view inner = value.substr(1, value.size() - 2);
  std::string unquoted;
  unquoted.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\') {
      if (++i == inner.size()) break;  // a trailing backslash is dropped
    }
    unquoted.push_back(inner[i]);
  }
  return unquoted;
}

// True when one of the relation types of an unquoted `rel` value is
// "c2pa-manifest".
bool has_manifest_relation(std::string_view relation_types) {
  if (relation_types.size() < kManifestRelation.size()) return false;
  // A value of exactly one type's length can only match as a whole.
  if (relation_types.size() == kManifestRelation.size()) {
    return equals_folded(relation_types, kManifestRelation);
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= relation_types.size(); ++i) {
    if (i == relation_types.size() || is_relation_separator(relation_types[i])) {
      if (equals_folded(relation_types.substr(start, i - start), kManifestRelation)) {
        return true;
      }
      start = i + 1;
    }
  }
  return false;
}

// The relation test on a `rel` value as written. Unquoting a value without
// backslashes only drops the quotes, so only a value with escapes is copied.
bool relation_value_matches(std::string_view value) {
  if (!is_quoted(value)) return has_manifest_relation(value);
  const std::string_view inner = value.substr(1, value.size() - 2);
  // Unquoting never lengthens a value: too short a one fails as it stands.
  if (inner.size() < kManifestRelation.size()) return false;
  if (inner.find('\\') == std::string_view::npos) return has_manifest_relation(inner);
  return has_manifest_relation(unquote_value(value));
}

// The offset of the first "<" of a trimmed link-value.
std::size_t find_target_open(std::string_view link_value) {
  // Most link-values begin with their target: no search needed.
  if (!link_value.empty() && link_value.front() == '<') return 0;
  return link_value.find('<');
}

// The record for a target, with a jumbf reference in its fragment reduced to
// "#jumbf=" and the reference's first segment. Its texts are views of the
// target, but for a uri whose prefix is not already in lower case: that one is
// written into storage of `list`.
ManifestLink make_manifest_link(std::string_view target, LinkList &list) {
  const std::size_t hash = target.find('#');
  if (hash == std::string_view::npos) return {target, {}};
  const std::string_view fragment = target.substr(hash + 1);
  if (fragment.size() < kJumbfPrefix.size() ||
      !equals_folded(fragment.substr(0, kJumbfPrefix.size()), kJumbfPrefix)) {
    return {target, {}};
  }
  const std::string_view reference = fragment.substr(kJumbfPrefix.size());
  const std::string_view segment = reference.substr(0, reference.find('/'));
  if (segment.empty()) return {target, {}};

  // The target up to the end of the segment, with the prefix written in lower
  // case: the rest of the reference after its first segment is dropped.
  const std::string_view uri = target.substr(0, hash + 1 + kJumbfPrefix.size() + segment.size());
  if (fragment.substr(0, kJumbfPrefix.size()) == kJumbfPrefix) return {uri, segment};
  list.rewritten.push_back(std::make_unique<char[]>(uri.size()));
  char *const rewritten = list.rewritten.back().get();
  uri.copy(rewritten, uri.size());
  kJumbfPrefix.copy(rewritten + hash + 1, kJumbfPrefix.size());
  return {{rewritten, uri.size()}, segment};
}

// The target of one link-value when it advertises a manifest, or nothing when
// it cannot be read or advertises other relations only.
std::optional<std::string_view> manifest_target(std::string_view piece) {
  const std::string_view link_value = trim_white_space(piece);
  // Plain searches: quoting plays no part in finding the target.
  const std::size_t open = find_target_open(link_value);
  if (open == std::string_view::npos) return std::nullopt;
  const std::size_t close = link_value.find('>', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view target = trim_white_space(link_value.substr(open + 1, close - open - 1));
  if (target.empty()) return std::nullopt;

  const std::optional<std::string_view> relation_types =
      first_relation_value(link_value.substr(close + 1));
  if (!relation_types || !relation_value_matches(*relation_types)) return std::nullopt;
  return target;
}

}  // namespace

LinkList parse_manifest_links(HeaderValues values) {
  LinkList list;
  for (const std::string_view value : values) {
    split_unquoted(value, ',', [&](std::string_view piece) {
      // ",," and the ends of a value give empty pieces: nothing to read.
      if (piece.empty()) return true;
      if (const std::optional<std::string_view> target = manifest_target(piece)) {
        list.links.push_back(make_manifest_link(*target, list));
      }
      return true;
    });
  }
  return list;
}

}  // namespace manilink
