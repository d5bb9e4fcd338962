#pragma once
// Checks of an itemset table passed in as (items, offsets) arrays, before any row is read.
#include <cstdint>
#include <span>

#include "common/caller_array.hpp"
#include "numpy_api.hpp"

namespace tallyfold {

// Offsets must have n + 1 entries that never decrease and stay within 0..n_items; otherwise
// ValueError naming the first bad entry, and false.
bool check_row_offsets(std::span<const std::int64_t> offsets, std::size_t n_items);

// The first item id outside 0 .. n_items - 1 raises ValueError naming its position. Runs with
// the interpreter lock held, so no Python thread writes meanwhile; a write after it is caught
// again by the index build, as a PanicException instead of this ValueError.
bool check_item_ids(CallerArray<std::int32_t> item_ids, std::uint32_t n_items);

}  // namespace tallyfold
