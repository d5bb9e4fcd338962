#pragma once
// The memo-carrying per-level counters and the builders of their level-2 memo.

#include <optional>

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

// The same, for a level loop that gives the memo up: where anchors extend by prefix (no cap,
// a min count of at least 1) each group's sets in `memo` are emptied once its anchors are
// done, so the previous level's sets go while the new level's are made.
Memo<Bitmap> count_k_itemsets_v2_memo_consuming(const MemoLevelInput& in, Memo<Bitmap>& memo);
Memo<TidList> count_k_itemsets_v3_adaptive_consuming(const MemoLevelInput& in,
                                                     Memo<TidList>& memo);
Memo<TidList> count_k_itemsets_v5_prefilter_consuming(const MemoLevelInput& in,
                                                      Memo<TidList>& memo);
Memo<TidList> count_k_itemsets_v6_gating_consuming(const MemoLevelInput& in,
                                                   Memo<TidList>& memo);

// Levels k and k + 1 (counts only) from the memo of level k - 1, which they consume as above,
// each counter in its own way, where anchors extend by prefix: the level-k sets are read
// group by group as they are listed, never all held. Nothing otherwise.
std::optional<TopTables> count_top_levels_v2_memo(const MemoLevelInput& in,
                                                  Memo<Bitmap>& memo);
std::optional<TopTables> count_top_levels_v3_adaptive(const MemoLevelInput& in,
                                                      Memo<TidList>& memo);
std::optional<TopTables> count_top_levels_v5_prefilter(const MemoLevelInput& in,
                                                       Memo<TidList>& memo);
std::optional<TopTables> count_top_levels_v6_gating(const MemoLevelInput& in,
                                                    Memo<TidList>& memo);

}  // namespace tallyfold
