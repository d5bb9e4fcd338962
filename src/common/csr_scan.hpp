#pragma once
// Visiting the rows of a CSR in the order of a list of row numbers. The rows of an anchor's
// transactions lie scattered over the whole index, so a plain loop waits on two cache
// misses per row (its offset, then its items); prefetching a few rows ahead overlaps them.

#include <cstdint>
#include <span>

namespace tallyfold {

// Calls visit(row values) for every listed row, in list order.
template <class Visit>
inline void scan_rows(const std::uint32_t* offsets, const std::uint32_t* values,
                      std::span<const std::uint32_t> rows, Visit&& visit) {
  constexpr std::size_t kOffsetsAhead = 16;
  constexpr std::size_t kValuesAhead = 8;
  const std::size_t n = rows.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kOffsetsAhead < n) __builtin_prefetch(offsets + rows[i + kOffsetsAhead]);
    if (i + kValuesAhead < n) __builtin_prefetch(values + offsets[rows[i + kValuesAhead]]);
    const std::uint32_t row = rows[i];
    visit(std::span<const std::uint32_t>(values + offsets[row], values + offsets[row + 1]));
  }
}

}  // namespace tallyfold
