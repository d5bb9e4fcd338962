#pragma once
// Checks of an itemset table passed in as (items, offsets) arrays, before any row is read.
#include <cstdint>
#include <span>

#include "numpy_api.hpp"

namespace tallyfold {

// Offsets must have n + 1 entries that never decrease and stay within 0..n_items; otherwise
// ValueError naming the first bad entry, and false.
bool check_row_offsets(std::span<const std::int64_t> offsets, std::size_t n_items);

}  // namespace tallyfold
