// The record of one advertised manifest link.
#pragma once

#include <string_view>

namespace manilink {

// The link relation type that advertises a C2PA Manifest Store.
inline constexpr std::string_view kManifestRelation = "c2pa-manifest";

// Its texts are views: of the header value it was read from, or of storage
// that the list it was read into owns (see header_parser.hpp).
struct ManifestLink {
  std::string_view uri;    // never empty
  std::string_view jumbf;  // empty exactly when absent

  constexpr bool is_embedded() const noexcept { return !jumbf.empty(); }
};

// Links are equal when their uri bytes and their jumbf bytes (or absence)
// are equal; nothing is normalised here.
constexpr bool operator==(const ManifestLink &a, const ManifestLink &b) noexcept {
  return a.uri == b.uri && a.jumbf == b.jumbf;
}
constexpr bool operator!=(const ManifestLink &a, const ManifestLink &b) noexcept {
  return !(a == b);
}

}  // namespace manilink
