#pragma once
// Level-wise Apriori over a TransactionIndex: frequent single items, then for each level the
// candidates of candidates.hpp, counted against the index.

#include <cstdint>
#include <vector>

#include "classic/transaction_index.hpp"
#include "common/itemset_table.hpp"

namespace tallyfold {

// The frequent itemsets of every level reached, in caller item ids (u32 bit patterns). Every
// count reaches the min count. Levels run contiguously from 1; a level is present only when
// it holds an itemset. Row order within a level is unspecified.
struct LevelMap {
  std::vector<ItemsetTable> levels;  // levels[k - 1] is level k

  // Level k, or nullptr when it is absent.
  const ItemsetTable* level(std::uint64_t k) const {
    return k >= 1 && k <= levels.size() ? &levels[k - 1] : nullptr;
  }
  ItemsetTable take_level(std::uint64_t k) {
    return k >= 1 && k <= levels.size() ? std::move(levels[k - 1]) : ItemsetTable(0);
  }
};

// Mines levels 1 .. max(1, k_max). The min count is ceil(min_support * n_transactions) from
// the index's own transaction count (1 when min_support is not positive). When some item
// reaches it, the index is narrowed to those items (the caller may read the counts left);
// when none does, the map is empty and the index unchanged. Levels below `kept_from` are
// mined but stored empty (a caller that returns the top levels only need not hold the rest).
LevelMap apriori_itemsets(TransactionIndex& index, std::uint64_t k_max, double min_support,
                          std::uint64_t kept_from = 1);

}  // namespace tallyfold
