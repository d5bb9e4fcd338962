#include "eclat/wide_and.hpp"

#include "common/bitset_kernels.hpp"
#include "common/cpu_features.hpp"
#include "common/vector_popcount.hpp"

namespace tallyfold::eclat {

#ifdef TALLYFOLD_VECTOR_POPCOUNT
namespace {

// The loops over the others inline the vector kernel: one call per pair would cost more than
// the ANDs of a few words.
TALLYFOLD_VECTOR_TARGET void vector_and_count_each(
    const std::uint64_t* x, const std::uint64_t* others, std::size_t n, std::size_t words,
    std::uint32_t* counts) {
  for (std::size_t j = 0; j < n; ++j)
    counts[j] = vector_popcount::vector_and_count(x, others + j * words, words);
}

TALLYFOLD_VECTOR_TARGET std::size_t vector_and_keep_each(
    const std::uint64_t* x, const std::uint64_t* others, std::size_t n, std::size_t words,
    std::uint32_t min_count, std::uint64_t* out, std::uint32_t* counts) {
  std::size_t kept = 0;
  for (std::size_t j = 0; j < n; ++j) {
    counts[j] = vector_popcount::vector_and_into(x, others + j * words, out + kept * words, words);
    kept += counts[j] >= min_count;
  }
  return kept;
}

}  // namespace
#endif

void wide_and_count_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                         std::size_t words, std::uint32_t* counts) {
#ifdef TALLYFOLD_VECTOR_POPCOUNT
  if (cpu::kVectorPopcount) return vector_and_count_each(x, others, n, words, counts);
#endif
  for (std::size_t j = 0; j < n; ++j) counts[j] = and_count(x, others + j * words, words);
}

std::size_t wide_and_keep_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                               std::size_t words, std::uint32_t min_count, std::uint64_t* out,
                               std::uint32_t* counts) {
#ifdef TALLYFOLD_VECTOR_POPCOUNT
  if (cpu::kVectorPopcount)
    return vector_and_keep_each(x, others, n, words, min_count, out, counts);
#endif
  std::size_t kept = 0;
  for (std::size_t j = 0; j < n; ++j) {
    counts[j] = and_into(x, others + j * words, out + kept * words, words);
    kept += counts[j] >= min_count;
  }
  return kept;
}

}  // namespace tallyfold::eclat
