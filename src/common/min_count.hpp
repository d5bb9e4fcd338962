#pragma once
// The count an itemset must reach, derived from a support fraction and the number of
// transactions: ceil(min_support * N) in double precision with no rounding correction
// (N = 100 and 0.07 give 8, because the product is 7.000000000000001).

#include <cmath>
#include <cstdint>
#include <limits>

namespace tallyfold {

// Pair engines: saturates at the u64 limit; `fallback` when min_support is not positive
// (NaN included).
inline std::uint64_t min_count_u64(double min_support, std::uint32_t n_transactions,
                                   std::uint64_t fallback) {
  if (!(min_support > 0)) return fallback;
  const double x = std::ceil(min_support * static_cast<double>(n_transactions));
  if (!(x >= 0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

// Itemset engines: clamped to the u32 range; 1 when min_support is not positive.
inline std::uint32_t min_count_u32(double min_support, std::uint32_t n_transactions) {
  if (!(min_support > 0)) return 1;
  const double x = std::ceil(static_cast<double>(n_transactions) * min_support);
  if (!(x >= 0)) return 0;
  if (x >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(x);
}

}  // namespace tallyfold
