#include "pipeline/pipeline_driver.hpp"

#include "common/cancel.hpp"
#include "common/inverted_index.hpp"
#include "common/min_count.hpp"
#include "common/weight_cap.hpp"
#include "itemsets/reduced_transactions.hpp"
#include "pairs/frequent_pairs.hpp"

namespace tallyfold {

std::vector<double> cap_weights(const PipelineInput& in, const InvertedIndex& index) {
  if (!in.max_items_per_txn) return {};
  return weights_by_number(in.item_weights, index.numbering, index.item_space);
}

void order_levels(PipelineResult& result) {
  result.final_level = std::move(result.final_level).in_lexicographic_order();
  result.lower_level = std::move(result.lower_level).in_lexicographic_order();
}

PipelineResult run_set_pipeline(const PipelineInput& in, SetLevelCounter counter) {
  InvertedIndex index = build_inverted_index(in.txn_ids, in.item_ids, in.n_items);
  const std::vector<double> weights = cap_weights(in, index);
  const std::uint32_t min_count = min_count_u32(in.min_support, index.n_transactions);

  FrequentPairs pairs = count_frequent_pairs(index, in.min_support);
  // Without a cap and with a min count, nothing reads an item outside the frequent pairs
  // again, nor a transaction with fewer than three of them: each level's cut starts from
  // these rows, and level 3's keeps them whole instead of copying them.
  if (in.k_max >= 3 && min_count >= 1 && !in.max_items_per_txn) {
    cut_index_transactions(index, frequent_item_flags(pairs.counts, index.item_space), 3);
  }
  PipelineResult result;
  result.n_transactions = index.n_transactions;
  result.n_items = in.n_items;
  result.item_counts = index.item_counts;
  result.numbering = index.numbering;
  result.item_count_numbering = index.numbering;
  result.lower_level = std::move(pairs.counts);

  for (std::uint64_t k = 3; k <= in.k_max; ++k) {
    throw_if_cancelled();
    LevelInput level_input{index, result.lower_level, pairs.set, static_cast<std::size_t>(k),
                           weights, in.max_items_per_txn, min_count,
                           // Under a cap each level reduces, then caps, transactions anew, so a
                           // k-itemset's prefix may miss the previous level while another
                           // subset is in it: only uncapped levels hold every frequent itemset.
                           min_count >= 1 && !in.max_items_per_txn};
    ItemsetTable level = counter(level_input);
    // A counter that already applied the min count hands over its table as it is: a
    // filtered copy would double the level's memory for nothing.
    if (!level.all_counts_at_least(min_count)) level = level.filtered(min_count);
    if (k == in.k_max) {
      result.final_level = std::move(level);
      break;
    }
    result.lower_level = std::move(level);
    if (result.lower_level.empty()) break;  // nothing can extend an empty level
  }
  return result;
}

}  // namespace tallyfold
