// Choosing the single advertised manifest link.
#pragma once

#include "link/header_parser.hpp"
#include "link/link_error.hpp"

namespace manilink {

// The one manifest link the header values advertise (repeats of it are
// tolerated), NotFound when there is none, Conflict when two different
// targets are advertised anywhere. The links are read into `list`, which the
// result's texts may point into.
Result<ManifestLink> select_manifest_link(HeaderValues values, LinkList &list);

}  // namespace manilink
