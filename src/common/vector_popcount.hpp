#pragma once
// AND-popcount of transaction bitsets eight words at a time, for CPUs that count bits in vector
// registers (cpu::kVectorPopcount). The compiler does not vectorise a popcount sum by itself
// (at -O3 it emulates the count with shuffles, slower than the scalar instruction), so the
// kernels are written out and chosen at run time: 127 words (mushroom's transactions) take
// about 38 ns one word at a time and 22-32 ns here. For the kernel files only: callers use
// bitset_kernels.hpp.

#include "common/cpu_features.hpp"

#ifdef TALLYFOLD_X86_VECTORS
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define TALLYFOLD_VECTOR_POPCOUNT 1
#define TALLYFOLD_VECTOR_TARGET __attribute__((target("avx512f,avx512vpopcntdq")))

namespace tallyfold::vector_popcount {

// The words of the step at w: eight, or the rest under a mask, so a bitset of any length takes
// whole-vector steps only (no scalar tail, which for short sets would be most of the work).
TALLYFOLD_VECTOR_TARGET inline __mmask8 step_mask(std::size_t w, std::size_t words) {
  return words - w >= 8 ? static_cast<__mmask8>(0xFF)
                        : static_cast<__mmask8>((1u << (words - w)) - 1);
}

TALLYFOLD_VECTOR_TARGET inline std::uint32_t vector_and_count(const std::uint64_t* a,
                                                              const std::uint64_t* b,
                                                              std::size_t words) {
  __m512i total = _mm512_setzero_si512();
  std::size_t w = 0;
  for (; w + 8 <= words; w += 8) {
    const __m512i v = _mm512_and_si512(_mm512_loadu_si512(a + w), _mm512_loadu_si512(b + w));
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  if (w < words) {
    const __mmask8 m = step_mask(w, words);
    const __m512i v =
        _mm512_and_si512(_mm512_maskz_loadu_epi64(m, a + w), _mm512_maskz_loadu_epi64(m, b + w));
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  return static_cast<std::uint32_t>(_mm512_reduce_add_epi64(total));
}

// out = a & b (out may be a or b); returns popcount(out).
TALLYFOLD_VECTOR_TARGET inline std::uint32_t vector_and_into(const std::uint64_t* a,
                                                             const std::uint64_t* b,
                                                             std::uint64_t* out,
                                                             std::size_t words) {
  __m512i total = _mm512_setzero_si512();
  std::size_t w = 0;
  for (; w + 8 <= words; w += 8) {
    const __m512i v = _mm512_and_si512(_mm512_loadu_si512(a + w), _mm512_loadu_si512(b + w));
    _mm512_storeu_si512(out + w, v);
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  if (w < words) {
    const __mmask8 m = step_mask(w, words);
    const __m512i v =
        _mm512_and_si512(_mm512_maskz_loadu_epi64(m, a + w), _mm512_maskz_loadu_epi64(m, b + w));
    _mm512_mask_storeu_epi64(out + w, m, v);
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  return static_cast<std::uint32_t>(_mm512_reduce_add_epi64(total));
}

}  // namespace tallyfold::vector_popcount
#endif
