#include "pairs/pair_stats.hpp"

#include <algorithm>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "common/csr_scan.hpp"
#include "common/inverted_index.hpp"
#include "common/min_count.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "pairs/pair_metric_columns.hpp"
#include "pairs/partner_counter.hpp"

namespace tallyfold {

namespace {

// Work of one anchor: the summed length of its transactions, 0 for an anchor that is skipped
// (fewer transactions than the min count). A pass over the rows of the index, so it runs on
// the pool like the counting it balances.
std::vector<std::uint64_t> anchor_costs(const InvertedIndex& index, std::uint64_t min_count) {
  std::vector<std::uint64_t> costs(index.item_space, 0);
  tbb::parallel_for(tbb::blocked_range<std::uint32_t>(0, index.item_space),
                    [&](const tbb::blocked_range<std::uint32_t>& r) {
                      throw_if_cancelled();
                      for (std::uint32_t a = r.begin(); a != r.end(); ++a) {
                        std::uint64_t cost = 0;
                        if (index.item_counts[a] < min_count) {
                          costs[a] = 0;
                          continue;
                        }
                        for (std::uint32_t t : index.txns_of(a))
                          cost += index.txn_offsets[t + 1] - index.txn_offsets[t];
                        costs[a] = cost;
                      }
                    });
  throw_if_cancelled();
  return costs;
}

// The counted pairs of one range of anchors, in emission order, before any metric: 8 bytes a
// row (partner and count; the anchor is stored once per run) instead of the 72 of a finished
// row, so the peak stays near the size of the result.
struct CountedPairs {
  struct Run {
    std::uint32_t anchor;
    std::size_t end;  // one past the run's last entry in partners/counts
  };
  std::vector<Run> runs;
  std::vector<std::uint32_t> partners, counts;
};

// Writes one range's rows, from `first` on, anchor run by anchor run.
void write_rows(const CountedPairs& part, std::size_t first, const InvertedIndex& index,
                const std::vector<double>& item_support, double n, PairOut& rows) {
  std::size_t begin = 0;
  for (const CountedPairs::Run& run : part.runs) {
    const std::size_t at = first + begin, len = run.end - begin;
    const std::uint32_t* partners = part.partners.data() + begin;
    const std::uint32_t* counts = part.counts.data() + begin;
    std::fill_n(rows.item_A.data() + at, len, run.anchor);
    std::copy_n(partners, len, rows.item_B.data() + at);
    std::copy_n(counts, len, rows.instances.data() + at);
    anchor_metric_columns(len, counts, partners, item_support.data(), n,
                          static_cast<double>(index.item_counts[run.anchor]),
                          item_support[run.anchor],
                          {rows.support.data() + at, rows.confidence.data() + at,
                           rows.lift.data() + at, rows.conviction.data() + at,
                           rows.leverage.data() + at, rows.cosine.data() + at,
                           rows.jaccard.data() + at});
    begin = run.end;
  }
}

}  // namespace

PairStats compute_pair_stats(CallerArray<std::int64_t> txn_ids,
                             CallerArray<std::int32_t> item_ids, std::uint32_t n_items,
                             double min_support) {
  const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
  const std::uint32_t n = index.n_transactions;
  const double n_f = static_cast<double>(n);
  // 0 disables the filter: every reported pair co-occurs at least once.
  const std::uint64_t min_count = min_count_u64(min_support, n, 0);

  const std::uint32_t item_space = index.item_space;
  std::vector<double> item_support(item_space);
  for (std::uint32_t i = 0; i < item_space; ++i)
    item_support[i] = static_cast<double>(index.item_counts[i]) / n_f;

  tbb::enumerable_thread_specific<PartnerCounter> counters(
      [&] { return PartnerCounter(item_space); });
  auto count_range = [&](IndexRange range, CountedPairs& out) {
    PartnerCounter& counter = counters.local();
    for (auto a = static_cast<std::uint32_t>(range.begin); a < range.end; ++a) {
      // A pair never occurs more often than its anchor: an anchor below the min count has no
      // row to report.
      if (index.item_counts[a] == 0 || index.item_counts[a] < min_count) continue;
      throw_if_cancelled();
      scan_rows(index.txn_offsets.data(), index.txn_items.data(), index.txns_of(a),
                [&](std::span<const std::uint32_t> items) {
                  for (std::uint32_t j : items) counter.add(j);
                });
      counter.drain([&](std::uint32_t b, std::uint32_t c) {
        if (b == a || c < min_count) return;
        out.partners.push_back(b);
        out.counts.push_back(c);
      });
      const std::size_t end = out.partners.size();
      if (end != (out.runs.empty() ? 0 : out.runs.back().end)) out.runs.push_back({a, end});
    }
  };

  // A small input is counted on the calling thread: waking the pool would cost about as much
  // as the work. Otherwise ranges of anchors are balanced by work, and partial results are
  // kept per range, so their concatenation in range order is independent of the thread count.
  const bool on_pool = index.txn_items.size() >= tuning::kPairPoolMinEntries;
  std::vector<CountedPairs> counted;
  if (on_pool) {
    const std::vector<std::uint64_t> costs = anchor_costs(index, min_count);
    const auto ranges = balanced_ranges(item_space, pool_threads() * tuning::kChunksPerThread,
                                        [&](std::size_t a) { return costs[a]; });
    counted = map_ranges<CountedPairs>(ranges, count_range);
  } else {
    counted.resize(1);
    count_range({0, item_space}, counted[0]);
  }

  std::vector<std::size_t> first_row(counted.size() + 1, 0);
  for (std::size_t c = 0; c < counted.size(); ++c)
    first_row[c + 1] = first_row[c] + counted[c].counts.size();
  PairStats stats;
  stats.n_transactions = n;
  stats.rows.resize(first_row.back());

  // Metrics are written straight into the result columns, each range at its own offset, so
  // the first touch of the fresh columns (page faults) is shared by the pool threads too.
  auto write_part = [&](std::size_t c) {
    write_rows(counted[c], first_row[c], index, item_support, n_f, stats.rows);
    counted[c] = CountedPairs{};
  };
  if (on_pool)
    tbb::parallel_for(std::size_t{0}, counted.size(), write_part);
  else
    write_part(0);
  throw_if_cancelled();
  index.numbering.to_caller_ids(stats.rows.item_A);
  index.numbering.to_caller_ids(stats.rows.item_B);
  return stats;
}

}  // namespace tallyfold
