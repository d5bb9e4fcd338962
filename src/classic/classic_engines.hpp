#pragma once
// The two classic Apriori computations behind the exported functions. They run on the
// calling thread (only large candidate batches go to the pool) and never touch Python.

#include <cstdint>
#include <span>

#include "pairs/pair_out.hpp"
#include "pipeline/pipeline_driver.hpp"

namespace tallyfold {

// Frequent pairs, two adjacent rows each (smaller item as item_A first), with the seven
// metrics. The min count comes from the data's distinct transactions; supports divide by the
// caller's `n_transactions`, which is never checked against the data. Throws Panic for an
// item id outside 0..n_items-1 or item_ids shorter than txn_ids.
PairOut classic_compute_pairs(CallerArray<std::int64_t> txn_ids,
                              CallerArray<std::int32_t> item_ids, std::uint32_t n_items,
                              std::uint32_t n_transactions, double min_support);

// Levels k_max and k_max - 1 of classic Apriori over the capped transactions, and the counts
// of the items kept after level 1 (all occurring items when none is frequent). Item ids are
// not checked: ids at or above n_items (negative ones included) are mined like any other and
// only left out of the item counts. The result's n_transactions is not filled.
PipelineResult classic_compute_pipeline(const PipelineInput& in);

}  // namespace tallyfold
