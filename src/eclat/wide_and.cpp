#include "eclat/wide_and.hpp"

#include "common/bitset_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TALLYFOLD_WIDE_AND 1
#endif

namespace tallyfold::eclat {

#ifdef TALLYFOLD_WIDE_AND
namespace {

// The last partial block is read and written under a mask, so a bitset of any length takes
// whole-vector steps only: no scalar tail, which for the short sets of deep subtrees would be
// most of the work.
__attribute__((target("avx512f,avx512vpopcntdq"))) std::uint32_t vector_and_count(
    const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
  __m512i total = _mm512_setzero_si512();
  std::size_t w = 0;
  for (; w + 8 <= words; w += 8) {
    const __m512i v = _mm512_and_si512(_mm512_loadu_si512(a + w), _mm512_loadu_si512(b + w));
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  if (w < words) {
    const __mmask8 m = static_cast<__mmask8>((1u << (words - w)) - 1);
    const __m512i v =
        _mm512_and_si512(_mm512_maskz_loadu_epi64(m, a + w), _mm512_maskz_loadu_epi64(m, b + w));
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  return static_cast<std::uint32_t>(_mm512_reduce_add_epi64(total));
}

__attribute__((target("avx512f,avx512vpopcntdq"))) std::uint32_t vector_and_into(
    const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out, std::size_t words) {
  __m512i total = _mm512_setzero_si512();
  std::size_t w = 0;
  for (; w + 8 <= words; w += 8) {
    const __m512i v = _mm512_and_si512(_mm512_loadu_si512(a + w), _mm512_loadu_si512(b + w));
    _mm512_storeu_si512(out + w, v);
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  if (w < words) {
    const __mmask8 m = static_cast<__mmask8>((1u << (words - w)) - 1);
    const __m512i v =
        _mm512_and_si512(_mm512_maskz_loadu_epi64(m, a + w), _mm512_maskz_loadu_epi64(m, b + w));
    _mm512_mask_storeu_epi64(out + w, m, v);
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(v));
  }
  return static_cast<std::uint32_t>(_mm512_reduce_add_epi64(total));
}

__attribute__((target("avx512f,avx512vpopcntdq"))) void vector_and_count_each(
    const std::uint64_t* x, const std::uint64_t* others, std::size_t n, std::size_t words,
    std::uint32_t* counts) {
  for (std::size_t j = 0; j < n; ++j) counts[j] = vector_and_count(x, others + j * words, words);
}

__attribute__((target("avx512f,avx512vpopcntdq"))) std::size_t vector_and_keep_each(
    const std::uint64_t* x, const std::uint64_t* others, std::size_t n, std::size_t words,
    std::uint32_t min_count, std::uint64_t* out, std::uint32_t* counts) {
  std::size_t kept = 0;
  for (std::size_t j = 0; j < n; ++j) {
    counts[j] = vector_and_into(x, others + j * words, out + kept * words, words);
    kept += counts[j] >= min_count;
  }
  return kept;
}

// Decided once per process: the branch on it is always predicted.
const bool kVector = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq");
}();

}  // namespace

std::uint32_t wide_and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
  return kVector ? vector_and_count(a, b, words) : and_count(a, b, words);
}

std::uint32_t wide_and_into(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out,
                            std::size_t words) {
  return kVector ? vector_and_into(a, b, out, words) : and_into(a, b, out, words);
}

void wide_and_count_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                         std::size_t words, std::uint32_t* counts) {
  if (kVector) return vector_and_count_each(x, others, n, words, counts);
  for (std::size_t j = 0; j < n; ++j) counts[j] = and_count(x, others + j * words, words);
}

std::size_t wide_and_keep_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                               std::size_t words, std::uint32_t min_count, std::uint64_t* out,
                               std::uint32_t* counts) {
  if (kVector) return vector_and_keep_each(x, others, n, words, min_count, out, counts);
  std::size_t kept = 0;
  for (std::size_t j = 0; j < n; ++j) {
    counts[j] = and_into(x, others + j * words, out + kept * words, words);
    kept += counts[j] >= min_count;
  }
  return kept;
}

bool wide_and_is_vector() { return kVector; }

#else

void wide_and_count_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                         std::size_t words, std::uint32_t* counts) {
  for (std::size_t j = 0; j < n; ++j) counts[j] = and_count(x, others + j * words, words);
}

std::size_t wide_and_keep_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                               std::size_t words, std::uint32_t min_count, std::uint64_t* out,
                               std::uint32_t* counts) {
  std::size_t kept = 0;
  for (std::size_t j = 0; j < n; ++j) {
    counts[j] = and_into(x, others + j * words, out + kept * words, words);
    kept += counts[j] >= min_count;
  }
  return kept;
}

std::uint32_t wide_and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
  return and_count(a, b, words);
}

std::uint32_t wide_and_into(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out,
                            std::size_t words) {
  return and_into(a, b, out, words);
}

bool wide_and_is_vector() { return false; }

#endif

}  // namespace tallyfold::eclat
