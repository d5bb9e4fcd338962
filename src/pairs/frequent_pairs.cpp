#include "pairs/frequent_pairs.hpp"

#include <algorithm>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/bitset_kernels.hpp"
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

// Appends anchor a's pairs with its partners that reach the min count, partners ascending.
void keep_pairs(std::uint32_t a, std::vector<std::uint64_t>& kept, PairChunk& out) {
  std::sort(kept.begin(), kept.end());
  for (std::uint64_t e : kept) {
    out.items.push_back(a);
    out.items.push_back(static_cast<std::uint32_t>(e >> 32));
    out.counts.push_back(static_cast<std::uint32_t>(e));
  }
}

// Every pair of frequent items (`anchors`, flagged in `frequent`) counted by scanning each
// anchor's transactions.
std::vector<PairChunk> count_pairs_by_scan(const InvertedIndex& index,
                                           const std::vector<std::uint32_t>& anchors,
                                           const std::vector<std::uint8_t>& frequent,
                                           std::uint64_t min_count) {
  // Transactions cut to frequent items: an infrequent partner can never reach the min count,
  // so dropping it up front spares every anchor the work of counting it.
  // Both passes run over ranges of transactions on the pool: the first counts each row's
  // frequent items, the second copies them once the rows' starts are known.
  std::vector<std::uint32_t> offsets(index.n_transactions + 1, 0);
  const auto row_ranges = pass_chunks(index.n_transactions, tuning::kParallelTransactionMin, 4096);
  for_each_range(row_ranges, [&](std::size_t, IndexRange range) {
    for (std::size_t t = range.begin; t < range.end; ++t) {
      throw_if_cancelled_every(t);
      std::uint32_t kept = 0;
      for (std::uint32_t i : index.items_of(static_cast<std::uint32_t>(t))) kept += frequent[i];
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
        if (frequent[i]) *out++ = i;
    }
  });
  std::vector<std::uint64_t> costs(anchors.size());
  tbb::parallel_for(std::size_t{0}, anchors.size(), [&](std::size_t i) {
    std::uint64_t cost = 0;
    for (std::uint32_t t : index.txns_of(anchors[i])) cost += offsets[t + 1] - offsets[t];
    costs[i] = cost;
  });
  throw_if_cancelled();

  // Each unordered pair is counted from its smaller item only: the scan of a transaction
  // starts just past the anchor.
  const auto ranges = balanced_ranges(anchors.size(), pool_threads() * tuning::kChunksPerThread,
                                      [&](std::size_t i) { return costs[i] / 2; });
  tbb::enumerable_thread_specific<DenseCounter> counters(
      [&] { return DenseCounter(index.item_space); });
  return map_ranges<PairChunk>(ranges, [&](IndexRange r, PairChunk& out) {
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
      keep_pairs(a, kept, out);
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
  constexpr std::uint32_t kNone = ~std::uint32_t{0};
  const std::size_t f = anchors.size();
  std::vector<std::uint32_t> rank(index.item_space, kNone);
  for (std::size_t i = 0; i < f; ++i) rank[anchors[i]] = static_cast<std::uint32_t>(i);
  // Row i holds the pairs (i, j > i); cell (i, j) is row_start[i] + j.
  std::vector<std::size_t> row_start(f);
  for (std::size_t i = 0, at = 0; i < f; ++i) {
    row_start[i] = at - (i + 1);
    at += f - 1 - i;
  }
  const std::size_t cells = f * (f - 1) / 2;
  tbb::enumerable_thread_specific<std::vector<std::uint32_t>> tables(
      [&] { return std::vector<std::uint32_t>(cells, 0); });
  const auto ranges = pass_chunks(index.n_transactions, tuning::kParallelTransactionMin, 4096);
  for_each_range(ranges, [&](std::size_t, IndexRange range) {
    std::uint32_t* table = tables.local().data();
    std::vector<std::uint32_t> held;  // ranks of a transaction's frequent items, ascending
    for (std::size_t t = range.begin; t < range.end; ++t) {
      throw_if_cancelled_every(t);
      held.clear();
      for (std::uint32_t item : index.items_of(static_cast<std::uint32_t>(t)))
        if (rank[item] != kNone) held.push_back(rank[item]);
      for (std::size_t a = 0; a + 1 < held.size(); ++a) {
        std::uint32_t* row = table + row_start[held[a]];
        for (std::size_t b = a + 1; b < held.size(); ++b) ++row[held[b]];
      }
    }
  });
  std::vector<std::uint32_t> total(cells, 0);
  for (const std::vector<std::uint32_t>& table : tables)
    for (std::size_t c = 0; c < cells; ++c) total[c] += table[c];
  std::vector<PairChunk> chunks(1);
  for (std::size_t i = 0; i + 1 < f; ++i)
    for (std::size_t j = i + 1; j < f; ++j) {
      const std::uint32_t c = total[row_start[i] + j];
      if (c == 0 || c < min_count) continue;
      chunks[0].items.push_back(anchors[i]);
      chunks[0].items.push_back(anchors[j]);
      chunks[0].counts.push_back(c);
    }
  return chunks;
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
                                                     : count_pairs_by_scan(index, anchors, frequent, min_count);

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
