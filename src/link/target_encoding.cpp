#include "link/target_encoding.hpp"

#include <cstdint>

#include "link/literal_set.hpp"

// x86-64 wheels assume SSE2 only; the AVX2 scan is compiled for its own
// function and picked at run time when the processor has it.
// MANILINK_NO_AVX2_SCAN leaves it out, so that the SSE2 scan can be tested on
// any machine.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && \
    !defined(MANILINK_NO_AVX2_SCAN)
#define MANILINK_AVX2_SCAN 1
#include <immintrin.h>
#endif

namespace manilink {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The end of the run of literal bytes in [byte, end), one byte at a time.
const char *scalar_literal_run_end(const char *byte, const char *const end) {
  while (byte != end && is_literal_byte(*byte)) ++byte;
  return byte;
}

#if defined(__SSE2__)
// Sixteen bytes at a time. The literal set is the printable ASCII range
// 0x21-0x7E less nine bytes (" < > \ ^ ` { | }), so a few vector comparisons
// decide a whole block; bytes from 0x80 up are negative as signed chars and
// fail the range test. Returns a bit per byte, set for a literal byte.
int sse2_literal_mask(const char *block) {
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

// Offset of the first non-literal byte of a block, or -1 when there is none.
int sse2_first_non_literal(const char *block) {
  const auto non_literal = static_cast<unsigned>(~sse2_literal_mask(block)) & 0xFFFFu;
  return non_literal == 0 ? -1 : __builtin_ctz(non_literal);
}

const char *sse2_literal_run_end(const char *byte, const char *const end) {
  if (end - byte < 16) return scalar_literal_run_end(byte, end);
  const char *const last_block = end - 16;
  for (; byte < last_block; byte += 16) {
    const int offset = sse2_first_non_literal(byte);
    if (offset >= 0) return byte + offset;
  }
  // The last block overlaps bytes already found literal, so its first
  // non-literal byte is also the first of the run.
  const int offset = sse2_first_non_literal(last_block);
  return offset >= 0 ? last_block + offset : end;
}
#endif

#if defined(MANILINK_AVX2_SCAN)
// A nibble lookup for the literal set: byte b is literal exactly when
// kLowNibbleRows[b & 0x0F] has bit (b >> 4) set. Eight bits cover the ASCII
// rows 0-7; no byte from 0x80 up is literal, and the shuffle below yields 0
// for those bytes anyway.
struct NibbleTable {
  std::uint8_t rows[16] = {};
};

constexpr NibbleTable make_low_nibble_rows() {
  NibbleTable table;
  for (unsigned byte = 0; byte < 0x80; ++byte) {
    if (kLiteralSet.contains(static_cast<unsigned char>(byte))) {
      std::uint8_t &row_bits = table.rows[byte & 0x0F];
      row_bits = static_cast<std::uint8_t>(row_bits | (1u << (byte >> 4)));
    }
  }
  return table;
}

constexpr bool literal_set_is_ascii() {
  for (unsigned byte = 0x80; byte < 0x100; ++byte) {
    if (kLiteralSet.contains(static_cast<unsigned char>(byte))) return false;
  }
  return true;
}

constexpr NibbleTable kLowNibbleRows = make_low_nibble_rows();
static_assert(literal_set_is_ascii(), "the nibble lookup covers ASCII bytes only");

// Byte n holds 1 << n for the rows 0-7, and 0 for the rows 8-15 (bytes from 0x80).
constexpr std::uint64_t kRowBitsLow = 0x8040201008040201u;

// 0xFF for each byte of a 32-byte block outside the literal set, 0 for the
// others.
__attribute__((target("avx2"))) __m256i avx2_non_literal_bytes(__m256i bytes) {
  const __m256i rows_by_low = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i *>(kLowNibbleRows.rows)));
  const __m256i bits_by_row = _mm256_setr_epi64x(static_cast<long long>(kRowBitsLow), 0,
                                                 static_cast<long long>(kRowBitsLow), 0);
  // A byte from 0x80 up shuffles in 0 here, and its row bit is 0 as well.
  const __m256i rows = _mm256_shuffle_epi8(rows_by_low, bytes);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
  const __m256i row_bit = _mm256_shuffle_epi8(bits_by_row, high);
  return _mm256_cmpeq_epi8(_mm256_and_si256(rows, row_bit), _mm256_setzero_si256());
}

__attribute__((target("avx2"))) __m256i avx2_non_literal_bytes(const char *block) {
  return avx2_non_literal_bytes(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(block)));
}

// Offset of the first non-literal byte of the 32 at `block`, or -1.
__attribute__((target("avx2"))) int avx2_first_non_literal(const char *block) {
  const auto non_literal =
      static_cast<unsigned>(_mm256_movemask_epi8(avx2_non_literal_bytes(block)));
  return non_literal == 0 ? -1 : __builtin_ctz(non_literal);
}

__attribute__((target("avx2"))) const char *avx2_literal_run_end(const char *byte,
                                                                 const char *const end) {
  if (end - byte < 32) return sse2_literal_run_end(byte, end);
  const char *const last_block = end - 32;
  // Long literal runs go two blocks per test; the loop below then finds the
  // exact byte in the pair that holds one.
  for (; last_block - byte > 64; byte += 64) {
    const __m256i non_literal =
        _mm256_or_si256(avx2_non_literal_bytes(byte), avx2_non_literal_bytes(byte + 32));
    if (!_mm256_testz_si256(non_literal, non_literal)) break;
  }
  for (; byte < last_block; byte += 32) {
    const int offset = avx2_first_non_literal(byte);
    if (offset >= 0) return byte + offset;
  }
  // As in the SSE2 scan, the last block may overlap checked bytes.
  const int offset = avx2_first_non_literal(last_block);
  return offset >= 0 ? last_block + offset : end;
}
#endif

using RunEndFunction = const char *(*)(const char *, const char *);

// The widest scan that this processor runs.
RunEndFunction choose_literal_run_end() {
#if defined(MANILINK_AVX2_SCAN)
  __builtin_cpu_init();  // may run before the library's own constructors
  if (__builtin_cpu_supports("avx2")) return avx2_literal_run_end;
#endif
#if defined(__SSE2__)
  return sse2_literal_run_end;
#else
  return scalar_literal_run_end;
#endif
}

// Chosen once, when the library is loaded.
const RunEndFunction literal_run_end = choose_literal_run_end();

// Makes room for `extra` more bytes, doubling the capacity as often as it
// takes, so that a target of many escapes is copied only a few times.
void reserve_more(std::string &out, std::size_t extra) {
  const std::size_t needed = out.size() + extra;
  std::size_t capacity = out.capacity();
  if (needed <= capacity) return;
  while (capacity < needed) capacity *= 2;
  out.reserve(capacity);
}

// Appends [byte, end) to `out`: each run of literal bytes copied at once,
// each run of other bytes escaped.
void append_encoded(std::string &out, const char *byte, const char *const end) {
  while (byte != end) {
    const char *run = byte;
    byte = literal_run_end(byte, end);
    out.append(run, static_cast<std::size_t>(byte - run));
    if (byte == end) break;
    // Make room for the whole run of other bytes at once.
    run = byte;
    while (byte != end && !is_literal_byte(*byte)) ++byte;
    const std::size_t written = out.size();
    const std::size_t escaped_size = 3 * static_cast<std::size_t>(byte - run);
    reserve_more(out, escaped_size);
    out.resize(written + escaped_size);
    char *escape = &out[written];
    for (; run != byte; ++run) {
      const auto value = static_cast<unsigned char>(*run);
      *escape++ = '%';
      *escape++ = kHexDigits[value >> 4];
      *escape++ = kHexDigits[value & 0x0F];
    }
  }
}

}  // namespace

void append_encoded_target(std::string &out, std::string_view target) {
  append_encoded(out, target.data(), target.data() + target.size());
}

std::string encode_target(std::string_view target) {
  const char *const end = target.data() + target.size();
  const char *const literal_end = literal_run_end(target.data(), end);
  // Most targets need no escape: one allocation of exactly their length
  // (none for an empty one) and one copy.
  if (literal_end == end) return std::string(target);
  // Reserved at the target's length; the escapes grow it by doubling.
  std::string out;
  out.reserve(target.size());
  out.append(target.data(), static_cast<std::size_t>(literal_end - target.data()));
  append_encoded(out, literal_end, end);
  return out;
}

std::size_t find_non_literal_byte(std::string_view target) {
  const char *const end = target.data() + target.size();
  const char *byte = literal_run_end(target.data(), end);
  return byte == end ? std::string_view::npos : static_cast<std::size_t>(byte - target.data());
}

}  // namespace manilink
