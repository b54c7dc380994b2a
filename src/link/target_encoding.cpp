#include "link/target_encoding.hpp"

#include "link/literal_set.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace manilink {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

#if defined(__SSE2__)
// Sixteen bytes at a time. The literal set is the printable ASCII range
// 0x21-0x7E less nine bytes (" < > \ ^ ` { | }), so a few vector comparisons
// decide a whole block; bytes from 0x80 up are negative as signed chars and
// fail the range test. Returns a bit per byte, set for a literal byte.
int literal_mask(const char *block) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
  const auto equals = [&](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  const __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x20)),
                                          _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x7F)));
  const __m128i braces = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('z')),
                                       _mm_cmplt_epi8(bytes, _mm_set1_epi8('~')));
  __m128i excluded = _mm_or_si128(equals('"'), equals('<'));
  excluded = _mm_or_si128(excluded, _mm_or_si128(equals('>'), equals('\\')));
  excluded = _mm_or_si128(excluded, _mm_or_si128(equals('^'), equals('`')));
  excluded = _mm_or_si128(excluded, braces);
  return _mm_movemask_epi8(_mm_andnot_si128(excluded, printable));
}
#endif

// The end of the run of literal bytes that starts at `byte`.
const char *literal_run_end(const char *byte, const char *const end) {
#if defined(__SSE2__)
  while (end - byte >= 16) {
    const int mask = literal_mask(byte);
    if (mask != 0xFFFF) return byte + __builtin_ctz(static_cast<unsigned>(~mask));
    byte += 16;
  }
#endif
  while (byte != end && is_literal_byte(*byte)) ++byte;
  return byte;
}

}  // namespace

void append_encoded_target(std::string &out, std::string_view target) {
  const char *byte = target.data();
  const char *const end = byte + target.size();
  while (byte != end) {
    // Copy the run of literal bytes at once.
    const char *run = byte;
    byte = literal_run_end(byte, end);
    out.append(run, static_cast<std::size_t>(byte - run));
    if (byte == end) break;
    // Then escape the run of other bytes, making room for all of it at once;
    // std::string grows its capacity by doubling.
    run = byte;
    while (byte != end && !is_literal_byte(*byte)) ++byte;
    const std::size_t written = out.size();
    out.resize(written + 3 * static_cast<std::size_t>(byte - run));
    char *escape = &out[written];
    for (; run != byte; ++run) {
      const auto value = static_cast<unsigned char>(*run);
      *escape++ = '%';
      *escape++ = kHexDigits[value >> 4];
      *escape++ = kHexDigits[value & 0x0F];
    }
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
  const char *const end = target.data() + target.size();
  const char *byte = literal_run_end(target.data(), end);
  return byte == end ? std::string_view::npos : static_cast<std::size_t>(byte - target.data());
}

}  // namespace manilink
