#include "pairs/frequent_pairs.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/bitset_kernels.hpp"
#include "common/csr_scan.hpp"
#include "common/dense_counter.hpp"
#include "common/min_count.hpp"
#include "common/pair_triangle.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

namespace {

// Pairs found by one range of anchors, back to back, with their counts.
struct PairChunk {
  std::vector<std::uint32_t> items;
  std::vector<std::uint32_t> counts;
};

constexpr std::uint32_t kNoRank = ~std::uint32_t{0};

// Each item's rank among the frequent items (`anchors`, ascending), kNoRank for the others.
std::vector<std::uint32_t> ranks_of(const std::vector<std::uint32_t>& anchors,
                                    std::uint32_t item_space) {
  std::vector<std::uint32_t> rank(item_space, kNoRank);
  for (std::size_t r = 0; r < anchors.size(); ++r) rank[anchors[r]] = static_cast<std::uint32_t>(r);
  return rank;
}

// The first entry of an ascending row above `a`, by a binary search whose steps are
// conditional moves: rows are short, and a branch per step mispredicts half the time.
inline const std::uint32_t* first_above(std::span<const std::uint32_t> row, std::uint32_t a) {
  const std::uint32_t* base = row.data();
  std::size_t n = row.size();
  if (n == 0) return base;
  while (n > 1) {
    const std::size_t half = n / 2;
    base = base[half] <= a ? base + half : base;
    n -= half;
  }
  return base + (*base <= a);
}

// Every pair of frequent items (`anchors`, ascending) counted by scanning each anchor's
// transactions.
std::vector<PairChunk> count_pairs_by_scan(const InvertedIndex& index,
                                           const std::vector<std::uint32_t>& anchors,
                                           std::uint64_t min_count) {
  // Transactions cut to frequent items, each item written as its rank among them: an
  // infrequent partner can never reach the min count, so dropping it up front spares every
  // anchor the work of counting it, and the counters of a worker then span the frequent items
  // only (retail at count 89: 2,117 counters against 16,470 item ids, small enough to stay in
  // the nearest cache). Ranks keep the items' order, so rows stay ascending.
  // Both passes run over ranges of transactions on the pool: the first counts each row's
  // frequent items, the second copies them once the rows' starts are known.
  const std::size_t f = anchors.size();
  if (f < 2) return {};  // no pair: the passes over the transactions would find nothing
  const std::vector<std::uint32_t> rank = ranks_of(anchors, index.item_space);
  std::vector<std::uint32_t> offsets(index.n_transactions + 1, 0);
  const auto row_ranges = pass_chunks(index.n_transactions, tuning::kParallelTransactionMin, 4096);
  for_each_range(row_ranges, [&](std::size_t, IndexRange range) {
    for (std::size_t t = range.begin; t < range.end; ++t) {
      throw_if_cancelled_every(t);
      std::uint32_t kept = 0;
      for (std::uint32_t i : index.items_of(static_cast<std::uint32_t>(t)))
        kept += rank[i] != kNoRank;
      offsets[t + 1] = kept;
    }
  });
  for (std::size_t t = 0; t < index.n_transactions; ++t) offsets[t + 1] += offsets[t];
  std::vector<std::uint32_t> items(offsets[index.n_transactions]);
  for_each_range(row_ranges, [&](std::size_t, IndexRange range) {
    for (std::size_t t = range.begin; t < range.end; ++t) {
      throw_if_cancelled_every(t);
      std::uint32_t* out = items.data() + offsets[t];
      for (std::uint32_t i : index.items_of(static_cast<std::uint32_t>(t)))
        if (rank[i] != kNoRank) *out++ = rank[i];
    }
  });
  std::vector<std::uint64_t> costs(f);
  tbb::parallel_for(std::size_t{0}, f, [&](std::size_t i) {
    std::uint64_t cost = 0;
    for (std::uint32_t t : index.txns_of(anchors[i])) cost += offsets[t + 1] - offsets[t];
    costs[i] = cost;
  });
  throw_if_cancelled();
  // An anchor's counts are read back either by a pass over the counters of every later
  // rank, or, where those are many beside the entries the scans add to (many frequent items,
  // short rows), by the list of counters touched. The pass needs no list, and yields the
  // partners ascending without a sort. Retail's pairs: at count 89 (2,117 frequent items, the
  // pass's counters 0.28 of the entries) the pass takes 17.5 ms against 19.0; at count 45
  // (3,926, 0.69) 24.6 against 23.0.
  std::uint64_t entries = 0;
  for (const std::uint64_t c : costs) entries += c;
  const bool drain_by_pass = std::uint64_t{f} * (f - 1) / 2 <= entries / 2;

  // Each unordered pair is counted from its smaller item only: the scan of a transaction
  // starts just past the anchor.
  const auto ranges = balanced_ranges(f, pool_threads() * tuning::kChunksPerThread,
                                      [&](std::size_t i) { return costs[i] / 2; });
  tbb::enumerable_thread_specific<DenseCounter> counters(
      [&] { return DenseCounter(static_cast<std::uint32_t>(f)); });
  tbb::enumerable_thread_specific<std::vector<std::uint32_t>> plain_counters(
      [&] { return std::vector<std::uint32_t>(f, 0); });
  return map_ranges<PairChunk>(ranges, [&](IndexRange r, PairChunk& out) {
    std::vector<std::uint64_t> kept;  // (partner rank, count) of one anchor
    for (std::size_t i = r.begin; i < r.end; ++i) {
      throw_if_cancelled();
      const auto a = static_cast<std::uint32_t>(i);
      auto each_partner = [&](auto&& add) {
        scan_rows(offsets.data(), items.data(), index.txns_of(anchors[i]),
                  [&](std::span<const std::uint32_t> row) {
                    const std::uint32_t* end = row.data() + row.size();
                    for (const std::uint32_t* it = first_above(row, a); it != end; ++it) add(*it);
                  });
      };
      // Partners ascending, as anchors are: the pairs come out in lexicographic order, which
      // spares every later sort of the level its work.
      auto keep = [&](std::uint32_t b, std::uint32_t c) {
        out.items.push_back(anchors[i]);
        out.items.push_back(anchors[b]);
        out.counts.push_back(c);
      };
      if (drain_by_pass) {
        std::uint32_t* counts = plain_counters.local().data();
        each_partner([&](std::uint32_t b) { ++counts[b]; });
        for (std::size_t b = i + 1; b < f; ++b) {
          const std::uint32_t c = std::exchange(counts[b], 0);
          if (c != 0 && c >= min_count) keep(static_cast<std::uint32_t>(b), c);
        }
        continue;
      }
      DenseCounter& counter = counters.local();
      each_partner([&](std::uint32_t b) { counter.add(b); });
      kept.clear();
      counter.drain([&](std::uint32_t b, std::uint32_t c) {
        if (c >= min_count) kept.push_back((std::uint64_t{b} << 32) | c);
      });
      std::sort(kept.begin(), kept.end());
      for (const std::uint64_t e : kept)
        keep(static_cast<std::uint32_t>(e >> 32), static_cast<std::uint32_t>(e));
    }
  });
}

// Whether counting every pair of frequent items as the popcount of their transaction
// bitsets' AND beats scanning the transactions: a scan does one counter increment per pair
// of frequent items a transaction holds, the bitsets one word per pair of frequent items and
// transaction word. Bitsets are also kept only where they take no more room than the lists
// of those items in the index. The lengths are counted only where bitsets fit.
bool pair_bitsets_pay_off(const InvertedIndex& index, const std::vector<std::uint32_t>& anchors,
                          const std::vector<std::uint8_t>& frequent) {
  if (index.n_transactions > tuning::kBitsetMaxTransactions || anchors.size() < 2) return false;
  const std::uint64_t words = bitset_words(index.n_transactions), f = anchors.size();
  std::uint64_t list_entries = 0;
  for (std::uint32_t a : anchors) list_entries += index.item_counts[a];
  if (f * words * 2 > list_entries) return false;
  std::uint64_t scan_increments = 0;
  for (std::uint32_t t = 0; t < index.n_transactions; ++t) {
    throw_if_cancelled_every(t);
    std::uint64_t held = 0;
    for (std::uint32_t i : index.items_of(t)) held += frequent[i];
    scan_increments += held * held / 2;
  }
  return f * (f - 1) / 2 * words <= scan_increments * tuning::kPairWordsPerIncrement;
}

// Whether every pair of the few frequent items fits one table of counters per worker, no
// larger together than one side of the index: a pass over the transactions then counts each
// pair a transaction holds where it sits, with no anchor searching its rows.
bool pair_table_fits(const InvertedIndex& index, std::size_t f) {
  const std::uint64_t cells = std::uint64_t{f} * (f - 1) / 2;
  return f >= 2 && f <= tuning::kPairTableMaxItems &&
         cells * sizeof(std::uint32_t) * pool_threads() <= index.txn_items.size() * sizeof(std::uint32_t);
}

// Every pair of frequent items (`anchors`, ascending) counted in a triangular table by
// their ranks, one table per worker over ranges of transactions, summed at the end.
std::vector<PairChunk> count_pairs_in_table(const InvertedIndex& index,
                                            const std::vector<std::uint32_t>& anchors,
                                            std::uint64_t min_count) {
  const std::size_t f = anchors.size();
  const std::vector<std::uint32_t> rank = ranks_of(anchors, index.item_space);
  // Row i holds the pairs (i, j > i); cell (i, j) is row_start[i] + j.
  std::vector<std::size_t> row_start(f);
  for (std::size_t i = 0; i < f; ++i) row_start[i] = triangle_row_offset(f, i);
  const std::size_t cells = triangle_cells(f);
  tbb::enumerable_thread_specific<std::vector<std::uint32_t>> tables(
      [&] { return std::vector<std::uint32_t>(cells, 0); });
  // Transactions cost as the square of their frequent items: pieces split as the threads run
  // out of work, not ranges cut up front, whose last one left a thread alone for 5 % of this
  // pass on T10I4D100K.
  constexpr std::size_t kGrain = 256;
  for_each_piece(index.n_transactions, tuning::kParallelTransactionMin, kGrain,
                 [&](std::size_t begin, std::size_t end) {
    std::uint32_t* table = tables.local().data();
    std::vector<std::uint32_t> held;  // ranks of a transaction's frequent items, ascending
    for (std::size_t t = begin; t < end; ++t) {
      throw_if_cancelled_every(t);
      held.clear();
      for (std::uint32_t item : index.items_of(static_cast<std::uint32_t>(t)))
        if (rank[item] != kNoRank) held.push_back(rank[item]);
      for (std::size_t a = 0; a + 1 < held.size(); ++a) {
        std::uint32_t* row = table + row_start[held[a]];
        for (std::size_t b = a + 1; b < held.size(); ++b) ++row[held[b]];
      }
    }
  });
  // The workers' tables are summed and read out by ranges of rows on the pool as well: on one
  // thread, with the table inserts that follow, this left one worker idle for about a
  // millisecond of a 30 ms call (T10I4D100K, 797 frequent items).
  std::vector<const std::uint32_t*> parts;
  for (const std::vector<std::uint32_t>& table : tables) parts.push_back(table.data());
  const auto rows = balanced_ranges(f - 1, pool_threads() * tuning::kChunksPerThread,
                                    [&](std::size_t i) { return f - 1 - i; });
  return map_ranges<PairChunk>(rows, [&](IndexRange r, PairChunk& out) {
    for (std::size_t i = r.begin; i < r.end; ++i) {
      for (std::size_t j = i + 1; j < f; ++j) {
        std::uint32_t c = 0;
        for (const std::uint32_t* part : parts) c += part[row_start[i] + j];
        if (c == 0 || c < min_count) continue;
        out.items.push_back(anchors[i]);
        out.items.push_back(anchors[j]);
        out.counts.push_back(c);
      }
    }
  });
}

// Every pair of frequent items (`anchors`, ascending) counted on transaction bitsets.
std::vector<PairChunk> count_pairs_on_bitsets(const InvertedIndex& index,
                                              const std::vector<std::uint32_t>& anchors,
                                              std::uint64_t min_count) {
  const std::size_t words = bitset_words(index.n_transactions), f = anchors.size();
  std::vector<std::uint64_t> bits(f * words, 0);
  for_each_range(even_ranges(f, pool_threads()), [&](std::size_t, IndexRange r) {
    for (std::size_t i = r.begin; i < r.end; ++i)
      set_bits(index.txns_of(anchors[i]), bits.data() + i * words);
  });
  const auto ranges = balanced_ranges(f, pool_threads() * tuning::kChunksPerThread,
                                      [&](std::size_t i) { return (f - i) * words; });
  return map_ranges<PairChunk>(ranges, [&](IndexRange r, PairChunk& out) {
    for (std::size_t i = r.begin; i < r.end; ++i) {
      throw_if_cancelled();
      const std::uint64_t* a = bits.data() + i * words;
      for (std::size_t j = i + 1; j < f; ++j) {
        const std::uint32_t c = and_count(a, bits.data() + j * words, words);
        if (c < min_count) continue;
        out.items.push_back(anchors[i]);
        out.items.push_back(anchors[j]);
        out.counts.push_back(c);
      }
    }
  });
}

}  // namespace

FrequentPairs count_frequent_pairs(const InvertedIndex& index, double min_support) {
  const std::uint64_t min_count = min_count_u64(min_support, index.n_transactions, 1);
  const std::uint32_t n_items = index.item_space;

  std::vector<std::uint32_t> anchors;
  for (std::uint32_t i = 0; i < n_items; ++i)
    if (index.item_counts[i] > 0 && index.item_counts[i] >= min_count) anchors.push_back(i);

  std::vector<std::uint8_t> frequent(n_items, 0);
  for (std::uint32_t a : anchors) frequent[a] = 1;
  std::vector<PairChunk> chunks =
      pair_bitsets_pay_off(index, anchors, frequent) ? count_pairs_on_bitsets(index, anchors, min_count)
      : pair_table_fits(index, anchors.size())       ? count_pairs_in_table(index, anchors, min_count)
                                                     : count_pairs_by_scan(index, anchors, min_count);

  FrequentPairs result;
  std::size_t total = 0;
  for (const PairChunk& chunk : chunks) total += chunk.counts.size();
  std::vector<std::uint32_t> flat, counts;
  flat.reserve(2 * total);
  counts.reserve(total);
  for (const PairChunk& chunk : chunks) {
    flat.insert(flat.end(), chunk.items.begin(), chunk.items.end());
    counts.insert(counts.end(), chunk.counts.begin(), chunk.counts.end());
  }
  result.set = PairSet(flat);
  result.counts = ItemsetTable::from_sorted_distinct_rows(2, std::move(flat), std::move(counts));
  return result;
}

}  // namespace tallyfold
