#include "pipeline/memo_pipeline.hpp"

#include "common/inverted_index.hpp"
#include "common/min_count.hpp"
#include "itemsets/memo_counters.hpp"
#include "pairs/frequent_pairs.hpp"

namespace tallyfold {

namespace {

// Index and frequent pairs as in the set-carrying pipeline; for k_max >= 3 the item bitmaps,
// the level-2 memo (and the neighbor lists of the gating counter) are built once, and each
// level's counter turns the memo of level k - 1 into that of level k. The loop stops at the
// first empty level.
template <class Tids, class BuildLevel2, class Counter>
PipelineResult run_memo_pipeline(const PipelineInput& in, bool gating, BuildLevel2 build_level2,
                                 Counter counter) {
  const InvertedIndex index = build_inverted_index(in.txn_ids, in.item_ids, in.n_items);
  const std::uint32_t min_count = min_count_u32(in.min_support, index.n_transactions);
  FrequentPairs pairs = count_frequent_pairs(index, in.min_support);

  PipelineResult result;
  result.n_transactions = index.n_transactions;
  result.n_items = in.n_items;
  result.item_counts = index.item_counts;
  if (in.k_max < 3) {
    result.lower_level = std::move(pairs.counts);
    return result;
  }

  const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(index);
  PairNeighbors neighbors;
  if (gating) neighbors = build_pair_neighbors(pairs.counts, index.item_space);
  Memo<Tids> memo = build_level2(pairs.counts, items);
  pairs.counts = ItemsetTable(2);

  for (std::uint64_t k = 3;; ++k) {
    const MemoLevelInput level_input{index,
                                     items,
                                     pairs.set,
                                     gating ? &neighbors : nullptr,
                                     static_cast<std::size_t>(k),
                                     min_count,
                                     in.item_weights,
                                     in.max_items_per_txn,
                                     min_count >= 1 && !in.max_items_per_txn};
    Memo<Tids> next = counter(level_input, memo);
    if (k == in.k_max || next.itemsets.empty()) {
      // An empty level before k_max empties both returned levels: nothing extends it.
      const bool reached_top = k == in.k_max;
      result.final_level = std::move(next.itemsets);
      result.lower_level = reached_top ? std::move(memo.itemsets) : ItemsetTable(0);
      return result;
    }
    memo = std::move(next);
  }
}

}  // namespace

PipelineResult run_v2_memo_pipeline(const PipelineInput& in) {
  return run_memo_pipeline<Bitmap>(in, false, build_pair_tid_map, count_k_itemsets_v2_memo);
}

PipelineResult run_v3_adaptive_pipeline(const PipelineInput& in) {
  return run_memo_pipeline<TidList>(in, false, build_pair_tid_map_adaptive,
                                    count_k_itemsets_v3_adaptive);
}

PipelineResult run_v5_prefilter_pipeline(const PipelineInput& in) {
  return run_memo_pipeline<TidList>(in, false, build_pair_tid_map_adaptive,
                                    count_k_itemsets_v5_prefilter);
}

PipelineResult run_v6_gating_pipeline(const PipelineInput& in) {
  return run_memo_pipeline<TidList>(in, true, build_pair_tid_map_adaptive,
                                    count_k_itemsets_v6_gating);
}

}  // namespace tallyfold
