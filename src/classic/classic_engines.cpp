#include "classic/classic_engines.hpp"

#include <algorithm>

#include "classic/apriori.hpp"
#include "classic/transaction_index.hpp"
#include "common/cancel.hpp"
#include "common/panic.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

PairOut classic_compute_pairs(CallerArray<std::int64_t> txn_ids,
                              CallerArray<std::int32_t> item_ids, std::uint32_t n_items,
                              std::uint32_t n_transactions, double min_support) {
  // Pair rows speak of items 0..n_items-1 only, as rust_compute_pairs does; the first bad
  // row in row order is reported, with the id widened as a signed value.
  TransactionIndex index = TransactionIndex::build_with_cap(txn_ids, item_ids, std::nullopt,
                                                            std::nullopt, n_items);

  LevelMap levels = apriori_itemsets(index, 2, min_support);
  PairOut out;
  const ItemsetTable* pairs = levels.level(2);
  if (pairs == nullptr) return out;

  // Both items of a frequent pair are frequent, so narrowing kept their full counts.
  const double n = static_cast<double>(n_transactions);
  auto item_count = [&](std::uint32_t item) {
    return static_cast<double>(index.count(*index.slot_of(item)));
  };
  out.resize(2 * pairs->size());
  const std::vector<std::uint32_t> ascending = pairs->sorted_rows();
  // Filled range by range on the pool: at a min support of 0 there are millions of pairs,
  // and one loop over them (each row's pages faulted in as it is written) would also hold
  // off a cancelled call for a second or more.
  for_each_range(
      pass_chunks(ascending.size(), tuning::kParallelIndexMinRows, tuning::kIndexChunkMinRows),
      [&](std::size_t, IndexRange range) {
        for (std::size_t i = range.begin; i < range.end; ++i) {
          const auto row = pairs->row(ascending[i]);
          const std::uint32_t a = row[0], b = row[1], c = pairs->count(ascending[i]);
          const double co = static_cast<double>(c), count_a = item_count(a),
                       count_b = item_count(b);
          const double support_a = count_a / n, support_b = count_b / n;
          out.set(2 * i, a, b, c, pair_metrics(co, n, count_a, support_a, support_b));
          out.set(2 * i + 1, b, a, c, pair_metrics(co, n, count_b, support_b, support_a));
        }
      });
  throw_if_cancelled();
  return out;
}

PipelineResult classic_compute_pipeline(const PipelineInput& in) {
  TransactionIndex index = TransactionIndex::build_with_cap(in.txn_ids, in.item_ids,
                                                            in.item_weights, in.max_items_per_txn);
  // Only the two top levels are returned.
  LevelMap levels = apriori_itemsets(index, in.k_max, in.min_support,
                                     in.k_max > 1 ? in.k_max - 1 : 1);

  PipelineResult result;
  result.n_items = in.n_items;
  result.final_level = levels.take_level(in.k_max);
  if (in.k_max >= 2) result.lower_level = levels.take_level(in.k_max - 1);

  // Slots are in id order: the ids below n_items are a prefix of them. The counts stay by
  // slot, so a huge id costs nothing here; the result array is filled by id.
  std::uint32_t below = 0;
  while (below < index.n_items() && index.item_id(below) < in.n_items) ++below;
  std::vector<std::uint32_t> ids(below);
  result.item_counts.resize(below);
  for (std::uint32_t s = 0; s < below; ++s) {
    ids[s] = index.item_id(s);
    result.item_counts[s] = index.count(s);
  }
  result.item_count_numbering = ItemNumbering::from_caller_ids(std::move(ids));
  return result;
}

}  // namespace tallyfold
