#pragma once
// The level-wise pipeline: index, frequent pairs, then one counting pass per level up to
// k_max; returns the last two levels.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/caller_array.hpp"
#include "common/item_numbering.hpp"
#include "common/itemset_table.hpp"
#include "itemsets/count_k_itemsets.hpp"

namespace tallyfold {

struct PipelineInput {
  CallerArray<std::int64_t> txn_ids;
  CallerArray<std::int32_t> item_ids;
  std::uint64_t k_max;
  std::uint32_t n_items;
  CallerArray<double> item_weights;
  double min_support;
  std::optional<std::uint64_t> max_items_per_txn;
};

struct PipelineResult {
  std::uint32_t n_items = 0;
  std::vector<std::uint32_t> item_counts;  // by item number; ids without a number count 0
  ItemsetTable final_level{0};  // level k_max
  ItemsetTable lower_level{0};  // level k_max - 1 (the frequent pairs when k_max <= 3)
  ItemNumbering numbering;             // item numbers of the two levels
  ItemNumbering item_count_numbering;  // item numbers of item_counts
  std::uint32_t n_transactions = 0;
};

// A per-level counter that receives the previous level as its frequent set.
using SetLevelCounter = ItemsetTable (*)(const LevelInput&);

// Puts the rows of both levels in ascending lexicographic order, the order every pipeline
// hands to its caller: the counters' hash maps and parallel merges leave it to chance.
void order_levels(PipelineResult& result);

// Runs the pipeline with `counter` for levels 3 and up. The loop stops at the first empty
// level: every later level would be empty too, and both returned levels are then empty.
PipelineResult run_set_pipeline(const PipelineInput& in, SetLevelCounter counter);

// The weights the cap reads, by item number; empty when no cap is given (nothing reads them).
std::vector<double> cap_weights(const PipelineInput& in, const InvertedIndex& index);

}  // namespace tallyfold
