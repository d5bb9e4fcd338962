#pragma once
// Joining the levels of a level-wise search into one table in ascending lexicographic order,
// where every itemset comes right before its extensions.

#include <vector>

#include "common/itemset_csr.hpp"
#include "common/itemset_table.hpp"

namespace tallyfold {

// `levels[k - 1]` holds the frequent k-itemsets, any row order. Every row's prefix (the row
// without its last item) must be a row of the level below, as downward closure guarantees
// for complete levels; a row without one throws Panic. The levels are spent.
ItemsetCsr join_levels_in_lexicographic_order(std::vector<ItemsetTable>&& levels);

}  // namespace tallyfold
