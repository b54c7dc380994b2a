// libFuzzer target for the link logic as the interpreter glue calls it
// (link/edge.hpp): reading, selection, target encoding and header
// formatting, with properties checked on every input.
//
// Input layout: header values separated by 0xFF bytes. 0xFF never occurs in
// UTF-8, so every list of texts the module can be given has an input, and
// each value is also used as a target for encoding and formatting.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/edge.hpp"
#include "link/header_format.hpp"
#include "link/unquoted_cut.hpp"

namespace {

using manilink::LinkError;
using manilink::ManifestLink;

[[noreturn]] void fail(const char *property) {
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}

void check(bool holds, const char *property) {
  if (!holds) fail(property);
}

// The 85 bytes that may stand literally in a target, written out here
// independently of the module's own table.
bool in_literal_set(unsigned char byte) {
  static const std::string_view kLiterals =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
      "-._~:/?#[]@!$&'()*+,;=%";
  return kLiterals.find(static_cast<char>(byte)) != std::string_view::npos;
}

bool all_literal(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return in_literal_set(static_cast<unsigned char>(c)); });
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      return false;
    }
    i += length;
  }
  return true;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Target encoding written the plain way: one byte at a time.
std::string reference_encoding(std::string_view target) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    if (in_literal_set(byte)) {
      out.push_back(c);
    } else {
      out += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    }
  }
  return out;
}

// The cut written the plain way: one byte at a time, every piece kept, for
// comparison with the cut that jumps between the bytes that can act.
std::vector<std::string_view> reference_cut(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  bool quoted = false;
  bool bracketed = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i];
    if (byte == '"') {
      quoted = !quoted;
    } else if (quoted) {
      if (byte == '\\') ++i;
    } else if (byte == '<') {
      bracketed = true;
    } else if (byte == '>') {
      bracketed = false;
    } else if (byte == separator && !bracketed) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

void check_cut(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  manilink::split_unquoted(text, separator, [&](std::string_view piece) {
    pieces.push_back(piece);
    return true;
  });
  check(pieces == reference_cut(text, separator), "the cut matches the byte-wise cut");

  // Stopping early hands out the same first pieces and nothing after them.
  std::vector<std::string_view> first_two;
  manilink::split_unquoted(text, separator, [&](std::string_view piece) {
    first_two.push_back(piece);
    return first_two.size() < 2;
  });
  const std::size_t expected = std::min<std::size_t>(2, pieces.size());
  check(first_two.size() == expected &&
            std::equal(first_two.begin(), first_two.end(), pieces.begin()),
        "a cut stopped early hands out the same first pieces");
}

using TextOperation = manilink::Result<manilink::edge::WrittenText> (*)(
    std::string_view, manilink::edge::TextBuffer) noexcept;

// A text operation run as the glue runs it: into a small buffer first, then,
// when the text outgrows it, again into a buffer of the size it asked for.
std::optional<std::string> run(TextOperation operation, std::string_view target,
                               std::size_t first_room, LinkError *error = nullptr) {
  std::string first(first_room, '\0');
  const auto written = operation(target, {first.data(), first.size()});
  if (written.failed()) {
    if (error != nullptr) *error = written.failure();
    return std::nullopt;
  }
  if (written.value().needed == 0) return std::string(written.value().text);
  check(written.value().needed > first_room, "a text asks for more room only when it needs it");
  std::string second(written.value().needed, '\0');
  const auto again = operation(target, {second.data(), second.size()});
  check(!again.failed() && again.value().needed == 0, "a text fits the room it asked for");
  check(again.value().text.size() == second.size(), "a text asks for exactly its size");
  return std::string(again.value().text);
}

// The encoding of `text` as an owned string.
std::string encode(std::string_view text, std::size_t first_room = 0) {
  const std::optional<std::string> encoded = run(manilink::edge::encode_target, text, first_room);
  check(encoded.has_value(), "encoding never fails");
  return *encoded;
}

// A manifest link with its texts copied.
struct OwnedLink {
  std::string uri, jumbf;
  bool operator==(const OwnedLink &other) const { return uri == other.uri && jumbf == other.jumbf; }
};

std::vector<OwnedLink> parse(const std::vector<std::string> &values) {
  const std::vector<std::string_view> views(values.begin(), values.end());
  manilink::edge::LinkStorage storage{nullptr};
  const auto links = manilink::edge::parse_manifest_links({views.data(), views.size()}, storage);
  check(!links.failed(), "reading never fails");
  std::vector<OwnedLink> owned;
  for (std::size_t i = 0; i < links.value().size; ++i) {
    const ManifestLink &link = links.value().data[i];
    owned.push_back({std::string(link.uri), std::string(link.jumbf)});
  }
  manilink::edge::release(storage);
  return owned;
}

void check_encoding_and_formatting(std::string_view target) {
  const std::string encoded = encode(target);
  // Built in a small array first, as the module does, it is the same text.
  check(encode(target, 8) == encoded, "encoding does not depend on the room it is first given");
  check(encoded == reference_encoding(target), "encoding matches the byte-wise encoding");
  check(all_literal(encoded), "encoding yields literal-set bytes only");
  check(encode(encoded) == encoded, "encoding is idempotent");
  check(encoded.size() >= target.size() && encoded.size() <= 3 * target.size(),
        "encoding keeps each byte or makes it three");
  check((encoded == target) == all_literal(target),
        "encoding changes exactly the targets with a non-literal byte");

  LinkError lenient_error{}, strict_error{};
  const std::optional<std::string> lenient =
      run(manilink::edge::format_link_value, target, 16, &lenient_error);
  const std::optional<std::string> strict =
      run(manilink::edge::format_link_value_strict, target, 0, &strict_error);
  if (target.empty()) {
    check(!lenient && !strict, "an empty target is refused");
    check(lenient_error.kind == LinkError::Kind::Malformed &&
              lenient_error.detail == manilink::kTargetEmpty &&
              strict_error.detail == manilink::kTargetEmpty,
          "an empty target is refused as empty");
    return;
  }
  check(lenient.has_value(), "format accepts every non-empty target");
  const std::string &value = *lenient;
  const std::string expected = "<" + encoded + ">; rel=\"c2pa-manifest\"";
  check(value == expected, "format writes <encoded target>; rel=\"c2pa-manifest\"");
  const std::string_view inside = std::string_view(value).substr(1, encoded.size());
  check(inside.find_first_of(std::string_view("\r\n\0 \"<>", 7)) == std::string_view::npos,
        "no CR, LF, NUL, space, quote or angle bracket inside the target");

  check(strict.has_value() == (encoded == target),
        "format_strict accepts exactly the targets encoding leaves unchanged");
  if (strict) {
    check(*strict == value, "format_strict agrees with format");
  } else {
    check(strict_error.kind == LinkError::Kind::Malformed &&
              strict_error.detail == manilink::kTargetNeedsEncoding,
          "format_strict refuses with the needs-encoding detail");
  }

  // Reading the written value back finds the encoded target, with a jumbf
  // reference reduced to its first segment.
  const std::vector<OwnedLink> links = parse({value});
  check(links.size() == 1, "a formatted value holds exactly one manifest link");
  const OwnedLink &link = links.front();
  if (link.jumbf.empty()) {
    check(link.uri == encoded, "the link read back is the encoded target");
    return;
  }
  const std::size_t hash = encoded.find('#');
  check(hash != std::string::npos, "a jumbf link has a fragment");
  const std::string_view prefix = std::string_view(encoded).substr(0, hash + 1);
  check(link.uri == std::string(prefix) + "jumbf=" + link.jumbf,
        "a jumbf link reads as <before #>#jumbf=<segment>");
  const std::size_t reference = hash + 1 + 6;
  check(encoded.size() >= reference + link.jumbf.size(), "the segment lies inside the target");
  for (std::size_t i = 0; i < 6; ++i) {
    check(lower(encoded[hash + 1 + i]) == "jumbf="[i], "the fragment starts with jumbf=");
  }
  check(encoded.compare(reference, link.jumbf.size(), link.jumbf) == 0,
        "the segment is copied from the target");
  const std::size_t after = reference + link.jumbf.size();
  check(after == encoded.size() || encoded[after] == '/', "the segment ends at '/' or the end");
}

void check_record(const OwnedLink &link, bool utf8_input) {
  check(!link.uri.empty(), "uri is never empty");
  if (utf8_input) {
    check(is_valid_utf8(link.uri), "uri is valid UTF-8");
    check(is_valid_utf8(link.jumbf), "jumbf is valid UTF-8");
  }
  if (!link.jumbf.empty()) {
    const std::string tail = "#jumbf=" + link.jumbf;
    check(link.uri.size() >= tail.size() &&
              link.uri.compare(link.uri.size() - tail.size(), tail.size(), tail) == 0,
          "a jumbf link's uri ends in #jumbf=<jumbf>");
  }
}

// The outcome of selection as a comparable value: nothing, one link, or
// conflict.
struct Outcome {
  enum class Kind { NotFound, Found, Conflict } kind;
  OwnedLink link;
  bool operator==(const Outcome &other) const {
    return kind == other.kind && (kind != Kind::Found || link == other.link);
  }
};

Outcome select(const std::vector<std::string> &values) {
  const std::vector<std::string_view> views(values.begin(), values.end());
  manilink::edge::LinkStorage storage{nullptr};
  const manilink::Result<ManifestLink> result =
      manilink::edge::select_manifest_link({views.data(), views.size()}, storage);
  Outcome outcome{Outcome::Kind::Found, {}};
  if (!result.failed()) {
    outcome.link = {std::string(result.value().uri), std::string(result.value().jumbf)};
  } else {
    const LinkError::Kind kind = result.failure().kind;
    check(kind == LinkError::Kind::NotFound || kind == LinkError::Kind::Conflict,
          "selection reports only NotFound or Conflict");
    outcome.kind =
        kind == LinkError::Kind::NotFound ? Outcome::Kind::NotFound : Outcome::Kind::Conflict;
  }
  manilink::edge::release(storage);
  return outcome;
}

void check_reading_and_selection(const std::vector<std::string> &values) {
  const bool utf8_input = std::all_of(values.begin(), values.end(),
                                      [](const std::string &v) { return is_valid_utf8(v); });
  const std::vector<OwnedLink> links = parse(values);
  std::vector<const OwnedLink *> distinct;
  for (const OwnedLink &link : links) {
    check_record(link, utf8_input);
    if (std::none_of(distinct.begin(), distinct.end(),
                     [&](const OwnedLink *seen) { return *seen == link; })) {
      distinct.push_back(&link);
    }
  }

  // Reading each value alone gives the same links in the same order.
  std::size_t position = 0;
  for (const std::string &value : values) {
    for (const OwnedLink &link : parse({value})) {
      check(position < links.size() && links[position] == link,
            "values are read independently and in order");
      ++position;
    }
  }
  check(position == links.size(), "values are read independently and in order");

  // Selection depends only on the set of distinct links.
  const Outcome outcome = select(values);
  if (distinct.empty()) {
    check(outcome.kind == Outcome::Kind::NotFound, "no link gives NotFound");
  } else if (distinct.size() == 1) {
    check(outcome.kind == Outcome::Kind::Found && outcome.link == *distinct.front(),
          "one distinct link is the result");
  } else {
    check(outcome.kind == Outcome::Kind::Conflict, "two distinct links conflict");
  }
  std::vector<std::string> reordered(values.rbegin(), values.rend());
  check(select(reordered) == outcome, "reversing the values keeps the outcome");
  if (!values.empty()) {
    std::rotate(reordered.begin(), reordered.begin() + 1, reordered.end());
  }
  reordered.insert(reordered.end(), values.begin(), values.end());
  check(select(reordered) == outcome, "repeating and rotating the values keeps the outcome");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> values;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = input.find('\xFF', start);
    values.emplace_back(input.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  for (const std::string &value : values) {
    check_encoding_and_formatting(value);
    check_cut(value, ',');
    check_cut(value, ';');
  }
  check_reading_and_selection(values);
  return 0;
}
