#include "itemsets/reduced_transactions.hpp"

#include <algorithm>
#include <cstring>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "common/weight_cap.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

namespace {
// Transactions reduced between two looks at the cancellation flag: well under a millisecond.
constexpr std::uint32_t kTransactionsPerCancelCheck = 1 << 14;
}  // namespace

std::vector<std::uint8_t> frequent_item_flags(const ItemsetTable& frequent, std::uint32_t n_items) {
  std::vector<std::uint8_t> flags(n_items, 0);
  for (std::size_t r = 0; r < frequent.size(); ++r)
    for (std::uint32_t item : frequent.row(r))
      if (item < n_items) flags[item] = 1;
  return flags;
}

void cut_index_transactions(InvertedIndex& index, const std::vector<std::uint8_t>& item_flags,
                            std::size_t k) {
  // Ranges of transactions close up in place on the pool, each at the start of its own
  // stretch of items: a kept item is written at or before where it was read, and no range
  // writes outside its stretch. The stretches are then moved together in order. Every item is
  // written and the flag decides whether the write position moves on, which keeps the loop
  // free of branches on the items.
  std::uint32_t* items = index.txn_items.data();
  std::uint32_t* offsets = index.txn_offsets.data();
  const std::uint32_t n = index.n_transactions;
  const std::vector<IndexRange> ranges =
      index.txn_items.size() < tuning::kParallelReduceMinRows
          ? std::vector<IndexRange>{{0, n}}
          : pass_chunks(n, 0, kTransactionsPerCancelCheck);
  std::vector<std::uint32_t> start(ranges.size()), kept(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) start[c] = offsets[ranges[c].begin];
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    // A range rewrites the starts of its own transactions after its first only (the first
    // keeps its value), so the range before, which reads that start as its end, reads a
    // value nobody writes meanwhile.
    std::uint32_t write = start[c], read = start[c];
    for (std::size_t t = range.begin; t < range.end; ++t) {
      if (t % kTransactionsPerCancelCheck == 0) throw_if_cancelled();
      const std::uint32_t read_end = offsets[t + 1], begin = write;
      for (; read < read_end; ++read) {
        const std::uint32_t item = items[read];
        items[write] = item;
        write += item_flags[item];
      }
      if (write - begin < k) write = begin;
      if (t != range.begin) offsets[t] = begin;
    }
    kept[c] = write - start[c];
  });
  throw_if_cancelled();
  std::uint32_t to = 0;
  std::vector<std::uint32_t> shift(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) {
    shift[c] = start[c] - to;
    if (shift[c] != 0) std::memmove(items + to, items + start[c], kept[c] * sizeof(std::uint32_t));
    to += kept[c];
  }
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    if (shift[c] == 0) return;
    for (std::size_t t = range.begin; t < range.end; ++t) offsets[t] -= shift[c];
  });
  offsets[n] = to;
  index.txn_items.resize(to);
}

ReducedTransactions reduce_transactions(const InvertedIndex& index,
                                        const std::vector<std::uint8_t>& item_flags, std::size_t k,
                                        std::span<const double> weights,
                                        std::optional<std::uint64_t> cap,
                                        bool may_stay_whole) {
  ReducedTransactions reduced;
  reduced.item_space = index.item_space;
  const std::uint32_t n = index.n_transactions;
  reduced.begin.assign(n, 0);
  reduced.length.assign(n, 0);
  // Two passes over ranges of transactions, on the pool for a large index: the first finds
  // each transaction's kept length (the cap keeps min(length, cap) items), the second writes
  // every range's items at its own offset, so the buffer is allocated once at its final size
  // and the result does not depend on the number of threads.
  const std::vector<IndexRange> ranges =
      index.txn_items.size() < tuning::kParallelReduceMinRows
          ? std::vector<IndexRange>{{0, n}}
          : pass_chunks(n, 0, kTransactionsPerCancelCheck);
  std::vector<std::uint64_t> range_items(ranges.size() + 1, 0), range_kept(ranges.size() + 1, 0);
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    std::uint64_t items = 0, kept = 0;
    for (std::size_t t = range.begin; t < range.end; ++t) {
      if (t % kTransactionsPerCancelCheck == 0) throw_if_cancelled();
      std::uint64_t length = 0;
      for (std::uint32_t item : index.items_of(static_cast<std::uint32_t>(t))) length += item_flags[item];
      if (length < k || length == 0) continue;
      if (cap) length = std::min<std::uint64_t>(length, *cap);
      reduced.length[t] = static_cast<std::uint32_t>(length);
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
    release(reduced.length);
    reduced.whole = &index;
    return reduced;
  }
  reduced.items.resize(range_items.back());
  reduced.kept.resize(range_kept.back());
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    auto write = static_cast<std::uint32_t>(range_items[c]);
    std::size_t kept = range_kept[c];
    std::vector<std::uint32_t> uncapped;  // a capped transaction's items before the cap
    for (std::size_t t = range.begin; t < range.end; ++t) {
      if (t % kTransactionsPerCancelCheck == 0) throw_if_cancelled();
      const std::uint32_t length = reduced.length[t];
      if (length == 0) continue;
      const auto row = index.items_of(static_cast<std::uint32_t>(t));
      reduced.begin[t] = write;
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
