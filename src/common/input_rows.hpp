#pragma once
// The one read of the caller's (transaction, item) rows. Every value is loaded once, checked
// and copied; the engines work on the copies only, so a caller thread writing into the arrays
// during the call can change what is counted but never send an index out of bounds. The two
// arrays are read in separate passes so that a caller can drop the first copy (after
// numbering transactions) before the second one is made.

#include <cstdint>
#include <optional>
#include <vector>

#include "common/caller_array.hpp"
#include "common/uninit_vector.hpp"

namespace tallyfold {

struct ItemRows {
  // One per row, the 32-bit pattern of the caller's id. Sized without a fill: the copy's
  // chunks on the pool write every entry, where zeroing them first took one thread a pass
  // over the rows while the other waited.
  UninitVector<std::uint32_t> ids;
  std::uint64_t end = 0;  // one more than the largest id; 0 without rows
};

// Copies the first `rows` item ids. With `n_items`, an id that, widened as a signed value, is
// not below it throws Panic ("index out of bounds: the len is n_items but the index is id"),
// the first such row in row order; `item_ids` shorter than `rows` throws the same fault at
// the first row without an item.
ItemRows read_item_ids(CallerArray<std::int32_t> item_ids, std::size_t rows,
                       std::optional<std::uint32_t> n_items);

}  // namespace tallyfold
