#pragma once
// The memo counters' form for dense data without a cap. Each frequent itemset still carries
// its transactions from level to level, but as a fixed-width bitset (or, for the adaptive
// counter, a short sorted list when that takes less room), and an anchor is extended by the
// same candidates as the baseline counts on bitsets: the items above its last that form a
// frequent pair with it. A candidate's count and its own set come from one intersection of
// the anchor's set with the item's, stopped early once the min count is out of reach; no
// transaction is walked. Without a cap a transaction holding the anchor and the new item is
// exactly one the walk over the anchor's transactions would count, so counts are the same.

#include <cstddef>

#include "itemsets/bitset_memo.hpp"

namespace tallyfold {

// What sets one memo counter apart from another on bitsets, as in their list forms.
struct BitsetMemoStyle {
  // The pair check of a candidate's other items runs before its intersection (the prefilter
  // counter) instead of on the candidates that reached the min count.
  bool check_pairs_first = false;
  // Sets that take less room as a sorted list of transactions than as a bitset are kept as
  // lists (the adaptive counter).
  bool adaptive = false;
};

// In an adaptive memo a set of fewer transactions than this is a list: 4 bytes a
// transaction against 8 bytes a bitset word.
inline std::size_t memo_list_limit(std::size_t words) { return 2 * words; }

// Level 2: every frequent pair with the transactions holding both items.
BitsetMemo build_pair_memo_on_bitsets(const ItemsetTable& pairs, const ItemBits& items,
                                      BitsetMemoStyle style);

// The frequent k-itemsets from the memo of level k - 1. `in` must carry no cap, a min count of
// at least 1 and the pair-neighbor lists; the memo must hold every frequent (k-1)-itemset.
// Without `keep_sets` the new memo holds counts only (for a level nothing extends). With
// `spent` (made over `memo`) each group's sets are freed as soon as its anchors are done.
BitsetMemo count_memo_level_on_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                       const ItemBits& items, BitsetMemoStyle style,
                                       bool keep_sets, SpentSets* spent = nullptr);

// Levels k (`in.k`) up to `top_k` at once, the two top ones with counts only, from the memo
// of level k - 1 (same contract; see TopLevels): each anchor's extensions are extended among
// themselves as soon as they are made, depth first.
TopLevels count_top_levels_on_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                      const ItemBits& items, BitsetMemoStyle style,
                                      std::size_t top_k, SpentSets* spent = nullptr);

}  // namespace tallyfold
