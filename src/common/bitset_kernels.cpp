#include "common/bitset_kernels.hpp"

#include <algorithm>
#include <bit>

// Each popcount kernel is compiled for several instruction sets (vector popcount, scalar
// popcount, baseline) and the loader picks the best one the CPU has: the baseline ISA has
// no popcount instruction, and the module must still run on CPUs without it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TALLYFOLD_POPCOUNT_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "popcnt", "default")))
#else
#define TALLYFOLD_POPCOUNT_CLONES
#endif

#include "common/cpu_features.hpp"
#include "common/tuning.hpp"
#include "common/vector_popcount.hpp"

namespace tallyfold {

namespace {

TALLYFOLD_POPCOUNT_CLONES
std::uint32_t scalar_and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
  std::uint64_t total = 0;
  for (std::size_t w = 0; w < words; ++w) total += __builtin_popcountll(a[w] & b[w]);
  return static_cast<std::uint32_t>(total);
}

TALLYFOLD_POPCOUNT_CLONES
std::uint32_t scalar_and_into(const std::uint64_t* a, const std::uint64_t* b,
                              std::uint64_t* out, std::size_t words) {
  std::uint64_t total = 0;
  for (std::size_t w = 0; w < words; ++w) {
    out[w] = a[w] & b[w];
    total += __builtin_popcountll(out[w]);
  }
  return static_cast<std::uint32_t>(total);
}

TALLYFOLD_POPCOUNT_CLONES
std::uint32_t scalar_and_into_at_least(const std::uint64_t* a, const std::uint64_t* b,
                                       std::uint64_t* out, std::size_t words, std::uint32_t need,
                                       const std::vector<std::uint32_t>& a_suffix) {
  std::uint32_t total = 0;
  for (std::size_t block = 0, w = 0; w < words; ++block) {
    if (total + a_suffix[block] < need) return total;
    const std::size_t end = std::min(words, w + kBitsetBlockWords);
    for (; w < end; ++w) {
      out[w] = a[w] & b[w];
      total += static_cast<std::uint32_t>(__builtin_popcountll(out[w]));
    }
  }
  return total;
}

#ifdef TALLYFOLD_VECTOR_POPCOUNT
using vector_popcount::step_mask;
using vector_popcount::vector_and_count;
using vector_popcount::vector_and_into;

// A block is one vector: its count joins the total before the next block's test.
TALLYFOLD_VECTOR_TARGET std::uint32_t vector_and_into_at_least(
    const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out, std::size_t words,
    std::uint32_t need, const std::vector<std::uint32_t>& a_suffix) {
  std::uint32_t total = 0;
  for (std::size_t block = 0, w = 0; w < words; ++block, w += 8) {
    if (total + a_suffix[block] < need) return total;
    const __mmask8 m = step_mask(w, words);
    const __m512i v =
        _mm512_and_si512(_mm512_maskz_loadu_epi64(m, a + w), _mm512_maskz_loadu_epi64(m, b + w));
    _mm512_mask_storeu_epi64(out + w, m, v);
    total += static_cast<std::uint32_t>(_mm512_reduce_add_epi64(_mm512_popcnt_epi64(v)));
  }
  return total;
}

#endif

}  // namespace

bool popcount_kernels_are_vector() { return cpu::kVectorPopcount; }

double and_word_cost() {
  return cpu::kVectorPopcount ? tuning::kEclatVectorAndWordCost : tuning::kEclatAndWordCost;
}

std::uint32_t and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
#ifdef TALLYFOLD_VECTOR_POPCOUNT
  if (cpu::kVectorPopcount) return vector_and_count(a, b, words);
#endif
  return scalar_and_count(a, b, words);
}

std::uint32_t and_into(const std::uint64_t* a, const std::uint64_t* b,
                       std::uint64_t* out, std::size_t words) {
#ifdef TALLYFOLD_VECTOR_POPCOUNT
  if (cpu::kVectorPopcount) return vector_and_into(a, b, out, words);
#endif
  return scalar_and_into(a, b, out, words);
}

std::uint32_t and_into_at_least(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out,
                                std::size_t words, std::uint32_t need,
                                const std::vector<std::uint32_t>& a_suffix) {
#ifdef TALLYFOLD_VECTOR_POPCOUNT
  if (cpu::kVectorPopcount) return vector_and_into_at_least(a, b, out, words, need, a_suffix);
#endif
  return scalar_and_into_at_least(a, b, out, words, need, a_suffix);
}

void block_suffix_counts(const std::uint64_t* a, std::size_t words,
                         std::vector<std::uint32_t>& suffix) {
  const std::size_t blocks = (words + kBitsetBlockWords - 1) / kBitsetBlockWords;
  suffix.assign(blocks + 1, 0);
  for (std::size_t b = blocks; b-- > 0;) {
    const std::size_t end = std::min(words, (b + 1) * kBitsetBlockWords);
    suffix[b] = suffix[b + 1] + and_count(a + b * kBitsetBlockWords, a + b * kBitsetBlockWords,
                                          end - b * kBitsetBlockWords);
  }
}

namespace {

template <class Index>
[[gnu::always_inline]] inline std::size_t list_bits_as(const std::uint64_t* bits, std::size_t words,
                                                        Index* out) {
  std::size_t n = 0;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t v = bits[w];
    const auto base = static_cast<Index>(w * 64);
    const auto found = static_cast<std::size_t>(std::popcount(v));
    Index* at = out + n;
    // countr_zero of an emptied word is 64: the entry past the found ones is junk that the
    // next word overwrites, or slack.
    for (int i = 0; i < 4; ++i) {
      at[i] = static_cast<Index>(base + std::countr_zero(v));
      v &= v - 1;
    }
    for (at += 4; v != 0; v &= v - 1) *at++ = static_cast<Index>(base + std::countr_zero(v));
    n += found;
  }
  return n;
}

}  // namespace

TALLYFOLD_POPCOUNT_CLONES
std::size_t list_bits(const std::uint64_t* bits, std::size_t words, std::uint32_t* out) {
  return list_bits_as(bits, words, out);
}

TALLYFOLD_POPCOUNT_CLONES
std::size_t list_bits(const std::uint64_t* bits, std::size_t words, std::uint16_t* out) {
  return list_bits_as(bits, words, out);
}

TALLYFOLD_POPCOUNT_CLONES
void list_bits(const std::uint64_t* bits, std::size_t words, std::vector<std::uint32_t>& out) {
  std::size_t count = 0;
  for (std::size_t w = 0; w < words; ++w) count += static_cast<std::size_t>(std::popcount(bits[w]));
  out.resize(count + kListBitsSlack);
  out.resize(list_bits(bits, words, out.data()));
}

void set_bits(std::span<const std::uint32_t> tids, std::uint64_t* out) {
  for (std::uint32_t t : tids) out[t >> 6] |= std::uint64_t{1} << (t & 63);
}

}  // namespace tallyfold
