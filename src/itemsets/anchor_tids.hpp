#pragma once
// Which transactions contain each anchor (a frequent (k-1)-itemset), found by matching the
// (k-1)-subsets of every reduced transaction against the frequent set.

#include <cstdint>
#include <span>
#include <vector>

#include "common/itemset_table.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

struct AnchorTids {
  std::size_t width = 0;                 // anchor length, k - 1
  std::vector<std::uint32_t> anchors;    // anchor rows back to back, ascending lexicographic
  std::vector<std::uint32_t> offsets;    // per anchor into `tids`; anchors + 1 entries
  std::vector<std::uint32_t> tids;       // ascending within each anchor

  std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::span<const std::uint32_t> anchor(std::size_t a) const {
    return {anchors.data() + a * width, width};
  }
  std::span<const std::uint32_t> tids_of(std::size_t a) const {
    return {tids.data() + offsets[a], tids.data() + offsets[a + 1]};
  }
};

// Anchors are the members of `frequent` (width k - 1); the subsets of a transaction are only
// enumerated as far as they are prefixes of some member, so dense transactions cost the
// matches they hold, not every (k-1)-combination of their items. Runs on the pool above
// 10,000 reduced transactions.
AnchorTids collect_anchor_tids(const ItemsetTable& frequent, const ReducedTransactions& reduced);

}  // namespace tallyfold
