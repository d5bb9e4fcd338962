#include "pairs/frequent_pairs.hpp"

#include <algorithm>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/csr_scan.hpp"
#include "common/dense_counter.hpp"
#include "common/min_count.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

namespace {

// Pairs found by one range of anchors, back to back, with their counts.
struct PairChunk {
  std::vector<std::uint32_t> items;
  std::vector<std::uint32_t> counts;
};

}  // namespace

FrequentPairs count_frequent_pairs(const InvertedIndex& index, double min_support) {
  const std::uint64_t min_count = min_count_u64(min_support, index.n_transactions, 1);
  const std::uint32_t n_items = index.item_space;

  std::vector<std::uint32_t> anchors;
  for (std::uint32_t i = 0; i < n_items; ++i)
    if (index.item_counts[i] > 0 && index.item_counts[i] >= min_count) anchors.push_back(i);

  // Transactions cut to frequent items: an infrequent partner can never reach the min count,
  // so dropping it up front spares every anchor the work of counting it.
  std::vector<std::uint8_t> frequent(n_items, 0);
  for (std::uint32_t a : anchors) frequent[a] = 1;
  std::vector<std::uint32_t> offsets(index.n_transactions + 1, 0), items;
  items.reserve(index.txn_items.size());
  for (std::uint32_t t = 0; t < index.n_transactions; ++t) {
    throw_if_cancelled_every(t);
    for (std::uint32_t i : index.items_of(t))
      if (frequent[i]) items.push_back(i);
    offsets[t + 1] = static_cast<std::uint32_t>(items.size());
  }

  // Each unordered pair is counted from its smaller item only: the scan of a transaction
  // starts just past the anchor.
  std::vector<std::uint64_t> costs(anchors.size());
  for (std::size_t i = 0; i < anchors.size(); ++i) {
    throw_if_cancelled_every(i);
    for (std::uint32_t t : index.txns_of(anchors[i])) costs[i] += offsets[t + 1] - offsets[t];
  }

  const auto ranges = balanced_ranges(anchors.size(), pool_threads() * tuning::kChunksPerThread,
                                      [&](std::size_t i) { return costs[i] / 2; });
  tbb::enumerable_thread_specific<DenseCounter> counters([&] { return DenseCounter(n_items); });
  std::vector<PairChunk> chunks = map_ranges<PairChunk>(ranges, [&](IndexRange r, PairChunk& out) {
    DenseCounter& counter = counters.local();
    std::vector<std::uint64_t> kept;  // (partner, count) of one anchor
    for (std::size_t i = r.begin; i < r.end; ++i) {
      throw_if_cancelled();
      const std::uint32_t a = anchors[i];
      scan_rows(offsets.data(), items.data(), index.txns_of(a),
                [&](std::span<const std::uint32_t> row) {
                  for (auto it = std::upper_bound(row.begin(), row.end(), a); it != row.end(); ++it)
                    counter.add(*it);
                });
      // Partners ascending, as anchors are: the pairs come out in lexicographic order, which
      // spares every later sort of the level its work.
      kept.clear();
      counter.drain([&](std::uint32_t b, std::uint32_t c) {
        if (c >= min_count) kept.push_back((std::uint64_t{b} << 32) | c);
      });
      std::sort(kept.begin(), kept.end());
      for (std::uint64_t e : kept) {
        out.items.push_back(a);
        out.items.push_back(static_cast<std::uint32_t>(e >> 32));
        out.counts.push_back(static_cast<std::uint32_t>(e));
      }
    }
  });

  FrequentPairs result;
  std::size_t total = 0;
  for (const PairChunk& chunk : chunks) total += chunk.counts.size();
  result.counts.reserve(total);
  std::vector<std::uint32_t> flat;
  flat.reserve(2 * total);
  for (const PairChunk& chunk : chunks) {
    for (std::size_t p = 0; p < chunk.counts.size(); ++p)
      result.counts.insert({chunk.items.data() + 2 * p, 2}, chunk.counts[p]);
    flat.insert(flat.end(), chunk.items.begin(), chunk.items.end());
  }
  result.set = PairSet(flat);
  return result;
}

}  // namespace tallyfold
