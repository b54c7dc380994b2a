// Building the Link header value that advertises a manifest target.
#pragma once

#include <string_view>

#include "link/link_error.hpp"
#include "link/text_builder.hpp"

namespace manilink {

inline constexpr std::string_view kTargetEmpty = "target URI is empty";
inline constexpr std::string_view kTargetNeedsEncoding =
    "target URI contains characters that a URI must percent-encode";

// "<" encoded target ">; rel=\"c2pa-manifest\"", built in `out`. Fails only
// for an empty target.
Result<std::string_view> format_link_value(std::string_view target, TextBuilder &out);

// The same with the target unchanged; refuses a target that is empty or
// holds any byte outside the literal set instead of repairing it.
Result<std::string_view> format_link_value_strict(std::string_view target, TextBuilder &out);

}  // namespace manilink
