#include "classic/classic_engines.hpp"

#include <algorithm>

#include "classic/apriori.hpp"
#include "classic/transaction_index.hpp"
#include "common/panic.hpp"

namespace tallyfold {

PairOut classic_compute_pairs(std::span<const std::int64_t> txn_ids,
                              std::span<const std::int32_t> item_ids, std::uint32_t n_items,
                              std::uint32_t n_transactions, double min_support) {
  TransactionIndex index = TransactionIndex::build_with_cap(txn_ids, item_ids, std::nullopt,
                                                            std::nullopt);
  // Pair rows speak of items 0..n_items-1 only, as rust_compute_pairs does; the first bad
  // row in row order is reported, with the id widened as a signed value.
  for (std::size_t r = 0; r < txn_ids.size(); ++r) {
    const auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(item_ids[r]));
    if (widened >= n_items) panic_index_out_of_bounds(n_items, widened);
  }

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
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    const auto row = pairs->row(ascending[i]);
    const std::uint32_t a = row[0], b = row[1], c = pairs->count(ascending[i]);
    const double co = static_cast<double>(c), count_a = item_count(a), count_b = item_count(b);
    const double support_a = count_a / n, support_b = count_b / n;
    out.set(2 * i, a, b, c, pair_metrics(co, n, count_a, support_a, support_b));
    out.set(2 * i + 1, b, a, c, pair_metrics(co, n, count_b, support_b, support_a));
  }
  return out;
}

PipelineResult classic_compute_pipeline(const PipelineInput& in) {
  TransactionIndex index = TransactionIndex::build_with_cap(in.txn_ids, in.item_ids,
                                                            in.item_weights, in.max_items_per_txn);
  LevelMap levels = apriori_itemsets(index, in.k_max, in.min_support);

  PipelineResult result;
  result.n_items = in.n_items;
  result.final_level = levels.take_level(in.k_max);
  if (in.k_max >= 2) result.lower_level = levels.take_level(in.k_max - 1);

  // Slots are in id order: the ids below n_items are a prefix of them.
  std::uint32_t below = 0;
  while (below < index.n_items() && index.item_id(below) < in.n_items) ++below;
  if (below > 0) {
    result.item_counts.assign(index.item_id(below - 1) + std::size_t{1}, 0);
    for (std::uint32_t s = 0; s < below; ++s) result.item_counts[index.item_id(s)] = index.count(s);
  }
  return result;
}

}  // namespace tallyfold
