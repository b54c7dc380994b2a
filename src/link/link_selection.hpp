// Choosing the single advertised manifest link.
#pragma once

#include <string>
#include <vector>

#include "link/link_error.hpp"
#include "link/manifest_link.hpp"

namespace manilink {

// The one manifest link the header values advertise (repeats of it are
// tolerated), NotFound when there is none, Conflict when two different
// targets are advertised anywhere.
Result<ManifestLink> select_manifest_link(const std::vector<std::string> &values);

}  // namespace manilink
