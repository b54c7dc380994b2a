#include "link/link_selection.hpp"

#include <algorithm>

#include "link/header_parser.hpp"

namespace manilink {

Result<ManifestLink> select_manifest_link(const std::vector<std::string> &values) {
  std::vector<ManifestLink> links = parse_manifest_links(values);
  if (links.empty()) return LinkError::not_found();
  // Collapsing runs of equal links leaves a second record exactly when some
  // link differs from the first one, wherever it stands.
  const ManifestLink &first = links.front();
  const bool conflict = std::any_of(links.begin() + 1, links.end(),
                                    [&](const ManifestLink &link) { return link != first; });
  if (conflict) return LinkError::conflict();
  return std::move(links.front());
}

}  // namespace manilink
