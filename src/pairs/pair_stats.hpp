#pragma once
// All co-occurring ordered pairs with their counts and seven metrics.

#include <cstdint>
#include <span>

#include "common/caller_array.hpp"
#include "pairs/pair_out.hpp"

namespace tallyfold {

struct PairStats {
  PairOut rows;  // anchors (item_A) ascending; within an anchor, consequents in order of
                 // first occurrence when its transactions are scanned in index order
  std::uint32_t n_transactions = 0;
};

// Rows whose count is below ceil(min_support * N) are dropped before any metric is computed;
// a min_support that is not positive keeps every co-occurring pair. Runs on the pool; the row
// order is the same for any number of threads.
PairStats compute_pair_stats(CallerArray<std::int64_t> txn_ids,
                             CallerArray<std::int32_t> item_ids, std::uint32_t n_items,
                             double min_support);

}  // namespace tallyfold
