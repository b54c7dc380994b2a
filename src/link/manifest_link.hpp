// The record of one advertised manifest link.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace manilink {

// The link relation type that advertises a C2PA Manifest Store.
inline constexpr std::string_view kManifestRelation = "c2pa-manifest";

struct ManifestLink {
  std::string uri;                   // never empty
  std::optional<std::string> jumbf;  // never empty when present

  bool is_embedded() const { return jumbf.has_value(); }
};

// Links are equal when their uri bytes and their jumbf bytes (or absence)
// are equal; nothing is normalised here.
inline bool operator==(const ManifestLink &a, const ManifestLink &b) {
  return a.uri == b.uri && a.jumbf == b.jumbf;
}
inline bool operator!=(const ManifestLink &a, const ManifestLink &b) { return !(a == b); }

}  // namespace manilink
