#include "link/target_encoding.hpp"

#include "link/literal_set.hpp"

namespace manilink {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

void append_encoded_target(std::string &out, std::string_view target) {
  const char *byte = target.data();
  const char *const end = byte + target.size();
  while (byte != end) {
    // Copy the run of literal bytes at once.
    const char *run = byte;
    while (byte != end && is_literal_byte(*byte)) ++byte;
    out.append(run, static_cast<std::size_t>(byte - run));
    if (byte == end) break;
    const auto value = static_cast<unsigned char>(*byte++);
    const char escape[3] = {'%', kHexDigits[value >> 4], kHexDigits[value & 0x0F]};
    out.append(escape, sizeof escape);
  }
}

std::string encode_target(std::string_view target) {
  std::string out;
  if (target.empty()) return out;
  // Exact when nothing needs escaping; escapes grow it on demand.
  out.reserve(target.size());
  append_encoded_target(out, target);
  return out;
}

std::size_t find_non_literal_byte(std::string_view target) {
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (!is_literal_byte(target[i])) return i;
  }
  return std::string_view::npos;
}

}  // namespace manilink
