#include "link/link_selection.hpp"

#include <algorithm>

namespace manilink {

Result<ManifestLink> select_manifest_link(HeaderValues values, LinkList &list) {
  list = parse_manifest_links(values);
  const std::vector<ManifestLink> &links = list.links;
  if (links.empty()) return LinkError::not_found();
  // Collapsing runs of equal links leaves a second record exactly when some
  // link differs from the first one, wherever it stands.
  const ManifestLink &first = links.front();
  const bool conflict = std::any_of(links.begin() + 1, links.end(),
                                    [&](const ManifestLink &link) { return link != first; });
  if (conflict) return LinkError::conflict();
  return first;
}

}  // namespace manilink
