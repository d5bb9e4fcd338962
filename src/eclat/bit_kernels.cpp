#include "eclat/bit_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TALLYFOLD_POPCOUNT_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "popcnt", "default")))
#else
#define TALLYFOLD_POPCOUNT_CLONES
#endif

namespace tallyfold::eclat {

TALLYFOLD_POPCOUNT_CLONES
std::uint32_t and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
  std::uint64_t n = 0;
  for (std::size_t w = 0; w < words; ++w) n += static_cast<std::uint64_t>(__builtin_popcountll(a[w] & b[w]));
  return static_cast<std::uint32_t>(n);
}

TALLYFOLD_POPCOUNT_CLONES
std::uint32_t and_into(std::uint64_t* __restrict dst, const std::uint64_t* a,
                       const std::uint64_t* b, std::size_t words) {
  std::uint64_t n = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t v = a[w] & b[w];
    dst[w] = v;
    n += static_cast<std::uint64_t>(__builtin_popcountll(v));
  }
  return static_cast<std::uint32_t>(n);
}

}  // namespace tallyfold::eclat
