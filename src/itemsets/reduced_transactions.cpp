#include "itemsets/reduced_transactions.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "common/cancel.hpp"
#include "common/close_up_rows.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "common/weight_cap.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

namespace {
// Transactions reduced between two looks at the cancellation flag: well under a millisecond.
constexpr std::uint32_t kTransactionsPerCancelCheck = 1 << 14;

// The ranges of transactions a pass over the index takes: one, on this thread, for a small
// index, else chunks for the pool.
std::vector<IndexRange> transaction_ranges(const InvertedIndex& index) {
  const std::uint32_t n = index.n_transactions;
  if (index.txn_items.size() < tuning::kParallelReduceMinRows) return {{0, n}};
  return pass_chunks(n, 0, tuning::kTransactionChunkMin);
}

// How many of transaction t's items are flagged.
std::uint64_t flagged_length(const InvertedIndex& index, std::size_t t,
                             const std::vector<std::uint8_t>& item_flags) {
  std::uint64_t length = 0;
  for (std::uint32_t item : index.items_of(static_cast<std::uint32_t>(t))) length += item_flags[item];
  return length;
}
}  // namespace

std::vector<std::uint8_t> frequent_item_flags(const ItemsetTable& frequent, std::uint32_t n_items) {
  std::vector<std::uint8_t> flags(n_items, 0);
  for (std::size_t r = 0; r < frequent.size(); ++r)
    for (std::uint32_t item : frequent.row(r))
      if (item < n_items) flags[item] = 1;
  return flags;
}

namespace {

// The entries a cut would keep: each transaction's flagged items, where it holds at least `k`.
// Counted only where the flagged items' own counts say it may be nearly all of them.
std::uint64_t entries_kept_by_cut(const InvertedIndex& index,
                                  const std::vector<std::uint8_t>& item_flags, std::size_t k) {
  const std::vector<std::uint64_t> kept = map_ranges<std::uint64_t>(
      transaction_ranges(index), [&](IndexRange range, std::uint64_t& out) {
        for (std::size_t t = range.begin; t < range.end; ++t) {
          if (t % kTransactionsPerCancelCheck == 0) throw_if_cancelled();
          const std::uint64_t length = flagged_length(index, t, item_flags);
          if (length >= k) out += length;
        }
      });
  return std::accumulate(kept.begin(), kept.end(), std::uint64_t{0});
}

}  // namespace

void cut_index_transactions(InvertedIndex& index, const std::vector<std::uint8_t>& item_flags,
                            std::size_t k) {
  // A cut that would keep nearly every entry is not made: it rewrites the whole transaction
  // side (on T10I4D100K at count 100 to keep 99.1 % of it, a pass on the pool and then 0.4 ms
  // of moving on one thread, 4 % of the call), where the readers skip the few items it would
  // drop anyway.
  const auto entries = static_cast<double>(index.txn_items.size());
  std::uint64_t flagged = 0;
  for (std::size_t item = 0; item < item_flags.size(); ++item)
    if (item_flags[item]) flagged += index.item_counts[item];
  if (static_cast<double>(flagged) >= tuning::kUncutIndexShare * entries &&
      static_cast<double>(entries_kept_by_cut(index, item_flags, k)) >=
          tuning::kUncutIndexShare * entries)
    return;
  const std::uint32_t kept = close_up_rows(
      index.txn_items.data(), index.txn_offsets.data(), index.n_transactions, k,
      tuning::kParallelReduceMinRows, [&](std::uint32_t item) { return item_flags[item] != 0; },
      [](std::uint32_t item) { return item; });
  index.txn_items.resize(kept);
}

ReducedTransactions reduce_transactions(const InvertedIndex& index,
                                        const std::vector<std::uint8_t>& item_flags, std::size_t k,
                                        std::span<const double> weights,
                                        std::optional<std::uint64_t> cap,
                                        bool may_stay_whole) {
  ReducedTransactions reduced;
  reduced.item_space = index.item_space;
  const std::uint32_t n = index.n_transactions;
  // Each transaction's kept length goes to begin[t + 1] first; the second pass turns it into
  // the offset where the next transaction starts.
  reduced.begin.assign(static_cast<std::size_t>(n) + 1, 0);
  // Two passes over ranges of transactions, on the pool for a large index: the first finds
  // each transaction's kept length (the cap keeps min(length, cap) items), the second writes
  // every range's items at its own offset, so the buffer is allocated once at its final size
  // and the result does not depend on the number of threads.
  const std::vector<IndexRange> ranges = transaction_ranges(index);
  std::vector<std::uint64_t> range_items(ranges.size() + 1, 0), range_kept(ranges.size() + 1, 0);
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    std::uint64_t items = 0, kept = 0;
    for (std::size_t t = range.begin; t < range.end; ++t) {
      if (t % kTransactionsPerCancelCheck == 0) throw_if_cancelled();
      std::uint64_t length = flagged_length(index, t, item_flags);
      if (length < k || length == 0) continue;
      if (cap) length = std::min<std::uint64_t>(length, *cap);
      reduced.begin[t + 1] = static_cast<std::uint32_t>(length);
      items += length;
      kept += length > 0;
    }
    range_items[c + 1] = items;
    range_kept[c + 1] = kept;
  });
  for (std::size_t c = 0; c < ranges.size(); ++c) {
    range_items[c + 1] += range_items[c];
    range_kept[c + 1] += range_kept[c];
  }
  if (may_stay_whole && !cap &&
      static_cast<double>(range_items.back()) >=
          tuning::kWholeTransactionsShare * static_cast<double>(index.txn_items.size())) {
    release(reduced.begin);
    reduced.whole = &index;
    return reduced;
  }
  reduced.items.resize(range_items.back());
  reduced.kept.resize(range_kept.back());
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    // A range writes begin[t + 1] for its own transactions only; where it starts comes from
    // the sums, not from the entry the range before writes.
    auto write = static_cast<std::uint32_t>(range_items[c]);
    std::size_t kept = range_kept[c];
    std::vector<std::uint32_t> uncapped;  // a capped transaction's items before the cap
    for (std::size_t t = range.begin; t < range.end; ++t) {
      if (t % kTransactionsPerCancelCheck == 0) throw_if_cancelled();
      const std::uint32_t length = reduced.begin[t + 1];
      reduced.begin[t + 1] = write + length;
      if (length == 0) continue;
      const auto row = index.items_of(static_cast<std::uint32_t>(t));
      reduced.kept[kept++] = static_cast<std::uint32_t>(t);
      if (cap) {
        uncapped.clear();
        for (std::uint32_t item : row)
          if (item_flags[item]) uncapped.push_back(item);
        cap_by_weight(uncapped.data(), uncapped.size(), weights, *cap);
        std::copy_n(uncapped.begin(), length, reduced.items.begin() + write);
      } else {
        std::uint32_t* out = reduced.items.data() + write;
        for (std::uint32_t item : row)
          if (item_flags[item]) *out++ = item;
      }
      write += length;
    }
  });
  return reduced;
}

}  // namespace tallyfold
