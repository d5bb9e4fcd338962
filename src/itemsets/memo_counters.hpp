#pragma once
// The memo-carrying per-level counters and the builders of their level-2 memo.

#include "common/tid_list.hpp"
#include "itemsets/memo_extend.hpp"

namespace tallyfold {

// Level 2: each frequent pair (rows of `pairs`, with their counts) with the transactions
// that hold both items.
Memo<Bitmap> build_pair_tid_map(const InvertedIndex& index, const ItemsetTable& pairs);
Memo<TidList> build_pair_tid_map_adaptive(const InvertedIndex& index, const ItemsetTable& pairs);

// For each item id below item_space, the items it forms a pair with, ascending.
PairNeighbors build_pair_neighbors(const ItemsetTable& pairs, std::uint32_t item_space);

// Each returns the frequent k-itemsets (count >= min count) with their transactions.
Memo<Bitmap> count_k_itemsets_v2_memo(const MemoLevelInput& in, const Memo<Bitmap>& memo);
Memo<TidList> count_k_itemsets_v3_adaptive(const MemoLevelInput& in, const Memo<TidList>& memo);
Memo<TidList> count_k_itemsets_v5_prefilter(const MemoLevelInput& in, const Memo<TidList>& memo);
Memo<TidList> count_k_itemsets_v6_gating(const MemoLevelInput& in, const Memo<TidList>& memo);

}  // namespace tallyfold
