// Reading Link header values (RFC 8288, read leniently) into manifest links.
#pragma once

#include <memory>
#include <vector>

#include "link/header_values.hpp"
#include "link/manifest_link.hpp"

namespace manilink {

// Manifest links read from header values. Their texts are views of those
// values, except each uri whose jumbf prefix had to be written in lower case:
// the list owns those.
struct LinkList {
  std::vector<ManifestLink> links;
  std::vector<std::unique_ptr<char[]>> rewritten;
};

// Every manifest link of the header values, in order: header values in the
// order given, link-values within one in text order. Never fails (but for
// running out of memory); what cannot be read is skipped.
LinkList parse_manifest_links(HeaderValues values);

}  // namespace manilink
