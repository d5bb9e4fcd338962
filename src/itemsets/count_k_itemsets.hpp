#pragma once
// One level of the level-wise search by anchor and extend: every k-itemset that extends a
// frequent (k-1)-itemset by one item, occurs in the data and passes the pair check.

#include <cstdint>
#include <optional>
#include <span>

#include "common/inverted_index.hpp"
#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"

namespace tallyfold {

struct LevelInput {
  const InvertedIndex& index;
  const ItemsetTable& frequent;  // the frequent (k-1)-itemsets
  const PairSet& pairs;          // empty: no pair check
  std::size_t k;
  std::span<const double> item_weights;
  std::optional<std::uint64_t> max_items_per_txn;
  // Extensions counted below this are not reported. The pipeline passes its min count (it
  // would drop them anyway); a lone level count passes 0 and gets every extension.
  std::uint32_t report_min = 0;
  // Set by a caller that keeps only itemsets reaching report_min (>= 1), passes no cap, and
  // passes as the frequent set every (k-1)-itemset that reaches it. Then every reported k-itemset is
  // reached from the anchor that omits its largest item, all its pairs are frequent, and
  // extending each anchor by larger items only yields exactly the same rows, once each.
  bool prefix_anchors_only = false;
};

ItemsetTable count_k_itemsets_internal(const LevelInput& in);

// The same level with each anchor's transactions held as a Roaring bitmap.
ItemsetTable count_k_itemsets_v1_roaring(const LevelInput& in);

}  // namespace tallyfold
