#include "link/header_format.hpp"

#include "link/manifest_link.hpp"
#include "link/target_encoding.hpp"

namespace manilink {

namespace {

constexpr std::string_view kBeforeRelation = ">; rel=\"";
constexpr std::string_view kAfterRelation = "\"";

std::string begin_link_value(std::size_t target_size) {
  std::string value;
  value.reserve(1 + target_size + kBeforeRelation.size() + kManifestRelation.size() +
                kAfterRelation.size());
  value.push_back('<');
  return value;
}

void end_link_value(std::string &value) {
  value.append(kBeforeRelation);
  value.append(kManifestRelation);
  value.append(kAfterRelation);
}

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
