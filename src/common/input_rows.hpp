#pragma once
// The one pass over the caller's (transaction, item) rows. Every value is loaded once, checked
// and copied; the engines work on the copies only, so a caller thread writing into the arrays
// during the call can change what is counted but never send an index out of bounds.

#include <cstdint>
#include <optional>
#include <vector>

#include "common/caller_array.hpp"

namespace tallyfold {

struct InputRows {
  std::vector<std::int64_t> txn_ids;    // one per row
  std::vector<std::uint32_t> item_ids;  // one per row, the 32-bit pattern of the caller's id
  std::uint64_t item_end = 0;           // one more than the largest item id; 0 without rows
};

// Copies rows 0..len(txn_ids)-1. With `n_items`, an id that, widened as a signed value, is not
// below it throws Panic ("index out of bounds: the len is n_items but the index is id"), the
// first such row in row order; `item_ids` shorter than `txn_ids` throws the same fault at the
// first row without an item. Throws LimitError for 2^32 rows or more.
InputRows read_rows(CallerArray<std::int64_t> txn_ids, CallerArray<std::int32_t> item_ids,
                    std::optional<std::uint32_t> n_items);

}  // namespace tallyfold
