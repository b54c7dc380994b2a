// The one home of compiler- and processor-specific constructs. Every other
// source is plain C++17 and reaches such things only through this header.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// Vector instructions. SSE2 is part of every x86-64 processor, so the x86-64
// build uses it without asking the processor at run time. AVX2 is compiled
// for the functions marked MANILINK_TARGET_AVX2 only, which run when
// processor_has_avx2() says so. Every other target (and a build configured
// with MANILINK_VECTORS=OFF, which defines MANILINK_SCALAR_ONLY) runs the
// scalar paths.
#if !defined(MANILINK_SCALAR_ONLY) && (defined(__x86_64__) || defined(_M_X64))
#define MANILINK_SSE2 1
#define MANILINK_AVX2 1
#include <immintrin.h>
#if defined(__GNUC__) || defined(__clang__)
#define MANILINK_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define MANILINK_TARGET_AVX2
#endif
#endif

// Keeps a function out of its callers, so that its locals stay in a frame of
// its own.
#if defined(__GNUC__) || defined(__clang__)
#define MANILINK_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define MANILINK_NOINLINE __declspec(noinline)
#else
#define MANILINK_NOINLINE
#endif

namespace manilink {

// The offset of the lowest set bit of `bits`, which must not be 0.
inline unsigned lowest_set_bit(std::uint32_t bits) {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<unsigned>(__builtin_ctz(bits));
#elif defined(_MSC_VER)
  unsigned long index = 0;
  _BitScanForward(&index, bits);
  return static_cast<unsigned>(index);
#else
  unsigned index = 0;
  while ((bits & 1u) == 0) {
    bits >>= 1;
    ++index;
  }
  return index;
#endif
}

#if defined(MANILINK_AVX2)
// Whether the processor and the operating system run AVX2 instructions.
inline bool processor_has_avx2() {
#if defined(_MSC_VER)
  int registers[4] = {};
  __cpuid(registers, 0);
  if (registers[0] < 7) return false;
  __cpuid(registers, 1);
  const bool os_saves_vectors = (registers[2] & (1 << 27)) != 0;
  const bool avx = (registers[2] & (1 << 28)) != 0;
  // The operating system must save and restore the 256-bit registers.
  if (!os_saves_vectors || !avx || (_xgetbv(0) & 6) != 6) return false;
  __cpuidex(registers, 7, 0);
  return (registers[1] & (1 << 5)) != 0;
#else
  __builtin_cpu_init();  // may run before the library's own constructors
  return __builtin_cpu_supports("avx2") != 0;
#endif
}
#endif

#if defined(MANILINK_SSE2)
// One bit per byte of a 16-byte vector compare result: bit k is set when
// byte k of `bytes` is 0xFF.
inline std::uint32_t byte_mask(__m128i bytes) {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes));
}

// The 16 bytes at `block`, which need no alignment.
inline __m128i load_block(const char *block) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
}
#endif

}  // namespace manilink
