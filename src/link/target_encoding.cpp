#include "link/target_encoding.hpp"

#include <cstdint>

#include "link/literal_set.hpp"
#include "link/portable.hpp"

namespace manilink {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

#if defined(MANILINK_AVX2)
// The literal set as a vector lookup: byte b is literal exactly when
// kRowsByLowNibble[b & 0x0F] has bit (b >> 4) set. Eight bits cover the
// ASCII rows 0-7; a byte from 0x80 up is never literal, and the shuffle
// below yields 0 for it. Computed from the table, so the two cannot disagree.
struct NibbleTable {
  std::uint8_t rows[16] = {};
};

constexpr NibbleTable rows_by_low_nibble(const ByteSet &set) {
  NibbleTable table;
  for (unsigned byte = 0; byte < 0x80; ++byte) {
    if (set.contains(static_cast<unsigned char>(byte))) {
      std::uint8_t &row_bits = table.rows[byte & 0x0F];
      row_bits = static_cast<std::uint8_t>(row_bits | (1u << (byte >> 4)));
    }
  }
  return table;
}

constexpr bool is_ascii_only(const ByteSet &set) {
  for (unsigned byte = 0x80; byte < 0x100; ++byte) {
    if (set.contains(static_cast<unsigned char>(byte))) return false;
  }
  return true;
}

constexpr NibbleTable kRowsByLowNibble = rows_by_low_nibble(kLiteralSet);
static_assert(is_ascii_only(kLiteralSet), "the nibble lookup covers ASCII bytes only");

// Byte n holds 1 << n for the rows 0-7, and 0 for the rows 8-15.
constexpr std::uint64_t kRowBits = 0x8040201008040201u;

// One bit per byte of the 32 at `block`, set for a byte outside the literal set.
MANILINK_TARGET_AVX2 std::uint32_t non_literal_bytes(const char *block) {
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
  const __m256i rows_by_low = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i *>(kRowsByLowNibble.rows)));
  const __m256i bits_by_row =
      _mm256_setr_epi64x(static_cast<long long>(kRowBits), 0, static_cast<long long>(kRowBits), 0);
  // A byte from 0x80 up shuffles in 0 here, and its row bit is 0 as well.
  const __m256i rows = _mm256_shuffle_epi8(rows_by_low, bytes);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
  const __m256i row_bit = _mm256_shuffle_epi8(bits_by_row, high);
  const __m256i outside =
      _mm256_cmpeq_epi8(_mm256_and_si256(rows, row_bit), _mm256_setzero_si256());
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(outside));
}

// The end of the literal run from `byte`, 32 bytes at a time; at least 32
// bytes are left.
MANILINK_TARGET_AVX2 const char *end_of_literal_run_avx2(const char *byte, const char *const end) {
  for (; end - byte > 32; byte += 32) {
    const std::uint32_t escaped = non_literal_bytes(byte);
    if (escaped != 0) return byte + lowest_set_bit(escaped);
  }
  // The last block may overlap bytes already found literal, so its first
  // non-literal byte is also the first of the run.
  const char *const last = end - 32;
  const std::uint32_t escaped = non_literal_bytes(last);
  return escaped != 0 ? last + lowest_set_bit(escaped) : end;
}

// Asked once, when the library is loaded.
const bool kUseAvx2 = processor_has_avx2();
#endif

// The end of the run of literal bytes that starts at `byte`.
const char *end_of_literal_run(const char *byte, const char *const end) {
#if defined(MANILINK_AVX2)
  if (kUseAvx2 && end - byte >= 32) return end_of_literal_run_avx2(byte, end);
#endif
  while (byte != end && is_literal_byte(*byte)) ++byte;
  return byte;
}

// Appends [byte, end) to `out` in one forward scan: each run of literal bytes
// is copied at once, and the bytes up to the next literal one are escaped
// into room made for all of them at once.
void append_encoded(TextBuilder &out, const char *byte, const char *const end) {
  while (byte != end) {
    const char *const literal_end = end_of_literal_run(byte, end);
    out.append(byte, static_cast<std::size_t>(literal_end - byte));
    byte = literal_end;
    const char *escaped_end = byte;
    while (escaped_end != end && !is_literal_byte(*escaped_end)) ++escaped_end;
    char *escape = out.extend(3 * static_cast<std::size_t>(escaped_end - byte));
    if (escape == nullptr) {  // counted only: the text has outgrown its storage
      byte = escaped_end;
      continue;
    }
    for (; byte != escaped_end; ++byte) {
      const auto value = static_cast<unsigned char>(*byte);
      *escape++ = '%';
      *escape++ = kHexDigits[value >> 4];
      *escape++ = kHexDigits[value & 0x0F];
    }
  }
}

}  // namespace

void append_encoded_target(TextBuilder &out, std::string_view target) {
  append_encoded(out, target.data(), target.data() + target.size());
}

std::string_view encode_target(std::string_view target, TextBuilder &out) {
  const char *const end = target.data() + target.size();
  const char *const first_escape = end_of_literal_run(target.data(), end);
  if (first_escape == end) return target;
  out.append(target.data(), static_cast<std::size_t>(first_escape - target.data()));
  append_encoded(out, first_escape, end);
  return out.view();
}

std::size_t find_non_literal_byte(std::string_view target) {
  const char *const end = target.data() + target.size();
  const char *const byte = end_of_literal_run(target.data(), end);
  return byte == end ? std::string_view::npos : static_cast<std::size_t>(byte - target.data());
}

}  // namespace manilink
