// A function of the edge that is not noexcept, called from glue code.
#include <cstddef>

namespace manilink::edge {
std::size_t checked_size(const char *text);
}

std::size_t glue_breach(const char *text) { return manilink::edge::checked_size(text) + 1; }
