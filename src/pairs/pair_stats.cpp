#include "pairs/pair_stats.hpp"

#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/dense_counter.hpp"
#include "common/inverted_index.hpp"
#include "common/min_count.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

namespace {

// Work of one anchor: the summed length of its transactions.
std::vector<std::uint64_t> anchor_costs(const InvertedIndex& index) {
  std::vector<std::uint64_t> costs(index.n_items, 0);
  for (std::uint32_t a = 0; a < index.n_items; ++a)
    for (std::uint32_t t : index.txns_of(a))
      costs[a] += index.txn_offsets[t + 1] - index.txn_offsets[t];
  return costs;
}

}  // namespace

PairStats compute_pair_stats(std::span<const std::int64_t> txn_ids,
                             std::span<const std::int32_t> item_ids, std::uint32_t n_items,
                             double min_support) {
  const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
  const std::uint32_t n = index.n_transactions;
  const double n_f = static_cast<double>(n);
  // 0 disables the filter: every reported pair co-occurs at least once.
  const std::uint64_t min_count = min_count_u64(min_support, n, 0);

  std::vector<double> item_support(n_items);
  for (std::uint32_t i = 0; i < n_items; ++i)
    item_support[i] = static_cast<double>(index.item_counts[i]) / n_f;

  const std::vector<std::uint64_t> costs = anchor_costs(index);
  const auto ranges = balanced_ranges(n_items, pool_threads() * tuning::kChunksPerThread,
                                      [&](std::size_t a) { return costs[a]; });
  tbb::enumerable_thread_specific<DenseCounter> counters([&] { return DenseCounter(n_items); });

  std::vector<PairOut> parts = map_ranges<PairOut>(ranges, [&](IndexRange range, PairOut& out) {
    DenseCounter& counter = counters.local();
    for (auto a = static_cast<std::uint32_t>(range.begin); a < range.end; ++a) {
      const std::uint32_t count_a = index.item_counts[a];
      if (count_a == 0) continue;
      for (std::uint32_t t : index.txns_of(a))
        for (std::uint32_t j : index.items_of(t)) counter.add(j);
      counter.drain([&](std::uint32_t b, std::uint32_t c) {
        if (b == a || c < min_count) return;
        out.push(a, b, c,
                 pair_metrics(static_cast<double>(c), n_f, static_cast<double>(count_a),
                              item_support[a], item_support[b]));
      });
    }
  });
  return {PairOut::concat(parts), n};
}

}  // namespace tallyfold
