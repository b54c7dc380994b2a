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

std::string begin_link_value(std::size_t target_size) {
  std::string value;
  value.reserve(1 + target_size + kAfterTarget.size());
  value.push_back('<');
  return value;
}

void end_link_value(std::string &value) { value.append(kAfterTarget); }

}  // namespace

Result<std::string> format_link_value(std::string_view target) {
  // Only the length counts: a target of spaces is not empty.
  if (target.empty()) return LinkError::malformed(kTargetEmpty);
  std::string value = begin_link_value(target.size());
  append_encoded_target(value, target);
  end_link_value(value);
  return value;
}

Result<std::string> format_link_value_strict(std::string_view target) {
  if (target.empty()) return LinkError::malformed(kTargetEmpty);
  if (find_non_literal_byte(target) != std::string_view::npos) {
    return LinkError::malformed(kTargetNeedsEncoding);
  }
  std::string value = begin_link_value(target.size());
  value.append(target);
  end_link_value(value);
  return value;
}

}  // namespace manilink
