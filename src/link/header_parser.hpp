// Reading Link header values (RFC 8288, read leniently) into manifest links.
#pragma once

#include <string>
#include <vector>

#include "link/manifest_link.hpp"

namespace manilink {

// Every manifest link of the header values, in order: header values in the
// order given, link-values within one in text order. Never fails; what cannot
// be read is skipped.
std::vector<ManifestLink> parse_manifest_links(const std::vector<std::string> &values);

}  // namespace manilink
