// A std::string copied and appended to: with the old string ABI these are
// calls into the C++ runtime that allocate and throw.
#include <string>

std::size_t glue_breach(const std::string &text) {
  std::string copy = text;
  copy.append("; rel=\"c2pa-manifest\"");
  return copy.size();
}
