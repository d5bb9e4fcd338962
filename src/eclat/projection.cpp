#include "eclat/projection.hpp"

#include <algorithm>
#include <cmath>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold::eclat {

namespace {

// Entry c: the ranked entries of the transactions before chunks[c], for every chunk, and
// `total` (all of them) past the last. A transaction's ranked entries are its items that have
// a node, and a node's list is its item's transactions, ascending: the entries before a chunk
// are, summed over the nodes, where the chunk's first transaction falls in each list. Those
// binary searches stand in for a pass over the rows where they read less (few ranked items:
// chess 0.8 has 28, to find 2 places in 3,196 transactions of 118k rows); else the rows are
// counted range by range. Either way the chunks are worked on the pool: with thousands of
// nodes the searches take a millisecond, which on one thread left the other idle.
std::vector<std::size_t> entries_before_ranges(const InvertedIndex& index,
                                               std::span<const ItemNode> nodes,
                                               const std::vector<std::uint32_t>& rank_of,
                                               const std::vector<IndexRange>& chunks,
                                               std::size_t total) {
  std::vector<std::size_t> first(chunks.size() + 1, 0);
  if (chunks.empty()) return first;
  first.back() = total;
  const double searches = static_cast<double>(nodes.size()) *
                          static_cast<double>(chunks.size() - 1) *
                          std::log2(static_cast<double>(index.n_transactions) + 2.0);
  if (searches < static_cast<double>(index.txn_items.size())) {
    for_each_range(chunks, [&](std::size_t c, IndexRange range) {
      if (c == 0) return;  // nothing comes before the first range
      std::size_t before = 0;
      for (const ItemNode& node : nodes)
        before += static_cast<std::size_t>(
            std::lower_bound(node.tids.begin(), node.tids.end(), range.begin) -
            node.tids.begin());
      first[c] = before;
    });
    return first;
  }
  for_each_range(chunks, [&](std::size_t c, IndexRange range) {
    if (c + 1 == chunks.size()) return;  // the last range ends at `total`
    std::size_t kept = 0;
    for (std::uint32_t item : std::span(index.txn_items.data() + index.txn_offsets[range.begin],
                                        index.txn_items.data() + index.txn_offsets[range.end]))
      kept += rank_of[item] != kNone;
    first[c + 1] = kept;
  });
  for (std::size_t c = 0; c + 1 < chunks.size(); ++c) first[c + 1] += first[c];
  return first;
}

}  // namespace

RankedRows rank_rows(const InvertedIndex& index, std::span<const ItemNode> nodes) {
  std::vector<std::uint32_t> rank_of(index.item_space, kNone);
  std::size_t total = 0;
  for (std::uint32_t r = 0; r < nodes.size(); ++r) {
    rank_of[nodes[r].item] = r;
    total += nodes[r].tids.size();
  }
  RankedRows rows;
  const std::uint32_t n_txns = index.n_transactions;
  rows.offsets.resize(static_cast<std::size_t>(n_txns) + 1);
  rows.ranks.resize(total);
  // Ranges of transactions on the pool. The search wakes the pool right after this, so even
  // short inputs are split: the wake-up is paid once either way. Each range writes its
  // entries from its place after the ranges before it.
  const std::vector<IndexRange> chunks = pass_chunks(
      n_txns, tuning::kEclatParallelRankMinTransactions, tuning::kEclatRankChunkMinTransactions);
  const std::vector<std::size_t> first = entries_before_ranges(index, nodes, rank_of, chunks, total);
  rows.offsets[0] = 0;
  for_each_range(chunks, [&](std::size_t c, IndexRange range) {
    std::size_t filled = first[c];
    const std::size_t chunk_end = first[c + 1];
    std::uint32_t* const ranks = rows.ranks.data();
    const std::uint32_t* const rank_by_item = rank_of.data();
    for (std::size_t t = range.begin; t < range.end; ++t) {
      throw_if_cancelled_every(t);
      const auto items = index.items_of(static_cast<std::uint32_t>(t));
      if (filled + items.size() <= chunk_end) {
        // Branch-free: whether an item is ranked is close to a coin toss. An item that is not
        // is written all the same, at the next free place, which a later item of this range
        // takes over; the test above keeps every write inside the range's own places.
        for (std::uint32_t item : items) {
          const std::uint32_t r = rank_by_item[item];
          ranks[filled] = r;
          filled += r != kNone;
        }
      } else {
        for (std::uint32_t item : items) {
          const std::uint32_t r = rank_by_item[item];
          if (r != kNone) ranks[filled++] = r;
        }
      }
      rows.offsets[t + 1] = static_cast<std::uint32_t>(filled);
    }
  });
  return rows;
}

WholeData whole_data(const RankedRows& rows, std::span<const ItemNode> nodes) {
  WholeData whole;
  const std::size_t n = nodes.size();
  whole.items.resize(n);
  std::vector<std::uint64_t> totals(n, 0);
  const auto n_rows = static_cast<std::uint32_t>(rows.offsets.size() - 1);
  for (std::uint32_t t = 0; t < n_rows; ++t) {
    const std::size_t len = rows.end(t) - rows.begin(t);
    for (std::size_t k = 0; k < len; ++k) totals[rows.begin(t)[k]] += len - 1 - k;
  }
  whole.suffix_mean.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    whole.items[r] = nodes[r].item;
    whole.suffix_mean[r] = static_cast<double>(totals[r]) / static_cast<double>(nodes[r].tids.size());
  }
  whole.view = {n_rows, n, rows.offsets.data(), rows.ranks.data(), whole.items.data(),
                whole.suffix_mean.data()};
  return whole;
}

bool pairs_by_and(const RankedRows& rows, std::size_t n_ranks) {
  const auto n_rows = static_cast<std::uint32_t>(rows.offsets.size() - 1);
  const double words = static_cast<double>((static_cast<std::size_t>(n_rows) + 63) / 64);
  const double by_and = 0.5 * static_cast<double>(n_ranks) * static_cast<double>(n_ranks - 1) *
                        words * tuning::kEclatAndWordCost;
  double gathered = 0;
  for (std::uint32_t t = 0; t < n_rows; ++t) {
    const double len = static_cast<double>(rows.offsets[t + 1] - rows.offsets[t]);
    gathered += 0.5 * len * (len - 1);
  }
  return by_and < gathered * tuning::kEclatGatherCost;
}

DenseItems dense_items(const RankedRows& rows, std::size_t n_ranks) {
  DenseItems dense;
  const auto n_rows = static_cast<std::uint32_t>(rows.offsets.size() - 1);
  dense.words = (static_cast<std::size_t>(n_rows) + 63) / 64;
  dense.bits.assign(n_ranks * dense.words, 0);
  for (std::uint32_t t = 0; t < n_rows; ++t)
    for (const std::uint32_t* r = rows.begin(t); r != rows.end(t); ++r)
      dense.bits[*r * dense.words + t / 64] |= std::uint64_t{1} << (t % 64);
  return dense;
}

void gather_suffixes(const RankedRows& rows, std::span<const std::uint32_t> tids, std::uint32_t i,
                     Projection& proj, std::uint32_t* counts, std::uint64_t* touched) {
  constexpr std::size_t kOffsetAhead = 16;
  constexpr std::size_t kRowAhead = 8;
  const std::size_t n = tids.size();
  proj.universe = static_cast<std::uint32_t>(n);
  proj.offsets.resize(n + 1);
  proj.offsets[0] = 0;
  // Written through a raw pointer, the storage grown ahead of a row that might not fit: a
  // suffix is a few entries on average, too short to pay for a library append each. Growing
  // copies only the entries written so far (a resize would copy what earlier items left too,
  // making those pages resident twice).
  std::size_t filled = 0;
  auto grow = [&](std::size_t at_least) {
    UninitVector<std::uint32_t> bigger;
    bigger.resize(std::max(2 * proj.cols.size(), at_least));
    std::copy_n(proj.cols.data(), filled, bigger.data());
    proj.cols.swap(bigger);
  };
  if (proj.cols.size() < n) grow(std::max<std::size_t>(n, 1024));
  std::uint32_t* out = proj.cols.data();
  std::size_t capacity = proj.cols.size();
  const std::uint32_t* offsets = rows.offsets.data();
  for (std::size_t p = 0; p < n; ++p) {
    if (p + kOffsetAhead < n) __builtin_prefetch(offsets + tids[p + kOffsetAhead] + 1);
    if (p + kRowAhead < n) __builtin_prefetch(rows.end(tids[p + kRowAhead]) - 1);
    const std::uint32_t* end = rows.end(tids[p]);
    const std::uint32_t* e = end;
    while (*(e - 1) > i) --e;
    const auto len = static_cast<std::size_t>(end - e);
    if (filled + len > capacity) {
      grow(filled + len);
      out = proj.cols.data();
      capacity = proj.cols.size();
    }
    for (std::size_t k = 0; k < len; ++k) {
      const std::uint32_t r = e[k];
      out[filled + k] = r;
      ++counts[r];
      touched[r / 64] |= std::uint64_t{1} << (r % 64);
    }
    filled += len;
    proj.offsets[p + 1] = static_cast<std::uint32_t>(filled);
  }
}

}  // namespace tallyfold::eclat
