#include "link/header_format.hpp"

#include "link/manifest_link.hpp"
#include "link/target_encoding.hpp"

namespace manilink {

namespace {

// Everything after the target, written out so that it takes one append: the
// rel parameter with the relation type in double quotes.
constexpr std::string_view kAfterTarget = ">; rel=\"c2pa-manifest\"";
static_assert(kAfterTarget.substr(8, kManifestRelation.size()) == kManifestRelation &&
                  kAfterTarget.size() == 8 + kManifestRelation.size() + 1,
              "the value names the module's relation type");

}  // namespace

Result<std::string_view> format_link_value(std::string_view target, TextBuilder &out) {
  // Only the length counts: a target of spaces is not empty.
  if (target.empty()) return LinkError::malformed(kTargetEmpty);
  out.append("<", 1);
  append_encoded_target(out, target);
  out.append(kAfterTarget);
  return out.view();
}

Result<std::string_view> format_link_value_strict(std::string_view target, TextBuilder &out) {
  if (target.empty()) return LinkError::malformed(kTargetEmpty);
  if (find_non_literal_byte(target) != std::string_view::npos) {
    return LinkError::malformed(kTargetNeedsEncoding);
  }
  out.append("<", 1);
  out.append(target);
  out.append(kAfterTarget);
  return out.view();
}

}  // namespace manilink
