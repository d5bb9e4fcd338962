#pragma once
// Machinery shared by the memo-carrying counters: each frequent itemset of the previous
// level comes with its transaction set (the memo), so a level needs no subset enumeration.
// An anchor's transactions are walked, the items of their cut lists counted, and each
// extension that reaches the min count gets its own transaction set by one intersection.
// The variants differ only in the transaction-set type (a bitmap, or the adaptive TidList)
// and in where the pair check happens: their per-anchor step is all that each file adds.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "common/dense_counter.hpp"
#include "common/inverted_index.hpp"
#include "common/itemset_table.hpp"
#include "common/panic.hpp"
#include "common/pair_set.hpp"
#include "common/parallel.hpp"
#include "common/tid_list.hpp"
#include "common/tuning.hpp"
#include "itemsets/anchor_extend.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

// Itemsets of one level with their counts, and the transactions of each (same row order).
template <class Tids>
struct Memo {
  explicit Memo(std::size_t width = 0) : itemsets(width) {}
  ItemsetTable itemsets;
  std::vector<Tids> tids;

  // Inserts unless present (first entry wins); returns true when inserted.
  bool insert(std::span<const std::uint32_t> itemset, std::uint32_t count, Tids&& set) {
    if (!itemsets.insert(itemset, count)) return false;
    tids.push_back(std::move(set));
    return true;
  }
};

// Two levels of a memo pipeline without their sets: the top one and the one below it.
struct TopTables {
  ItemsetTable lower, top;
};

// The pair-neighbor lists: for each item, the items it forms a frequent pair with, ascending.
struct PairNeighbors {
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> items;
  std::span<const std::uint32_t> of(std::uint32_t item) const {
    if (item + 1 >= offsets.size()) panic_index_out_of_bounds(offsets.size() - 1, item);
    return {items.data() + offsets[item], items.data() + offsets[item + 1]};
  }
};

struct MemoLevelInput {
  const InvertedIndex& index;
  const ItemTxnsRoaring& items;
  const PairSet& pairs;
  const PairNeighbors* neighbors;  // the pair set as lists: gating, and prefilter by siblings
  std::size_t k;
  std::uint32_t min_count;
  std::span<const double> item_weights;
  std::optional<std::uint64_t> max_items_per_txn;
  // Without a cap every frequent itemset of the level is reached from the anchor that omits
  // its largest item, so anchors are extended by larger items only and no candidate is
  // met twice (see LevelInput). Under a cap every item is tried.
  bool prefix_anchors_only = false;
  // Whether the new level's itemsets get their transaction sets: a level that nothing
  // extends (the top of a pipeline) keeps counts only.
  bool keep_sets = true;
};

template <class Tids>
struct MemoScratch {
  MemoScratch(std::uint32_t item_space, std::size_t width)
      : counter(item_space), found(width), gate(item_space, 0) {}
  DenseCounter counter;
  Memo<Tids> found;
  std::vector<std::uint32_t> candidate;
  std::vector<std::uint32_t> walk_buffer;
  std::vector<std::uint8_t> gate;  // candidate flags of the gating counter
};

// The items in every anchor item's neighbor list, by merging the ascending lists; stops as
// soon as the running intersection is empty.
inline void intersect_neighbors(const PairNeighbors& neighbors, std::span<const std::uint32_t> anchor,
                         std::vector<std::uint32_t>& gate, std::vector<std::uint32_t>& spare) {
  auto first = neighbors.of(anchor[0]);
  gate.assign(first.begin(), first.end());
  for (std::size_t i = 1; i < anchor.size() && !gate.empty(); ++i) {
    auto next = neighbors.of(anchor[i]);
    spare.clear();
    std::set_intersection(gate.begin(), gate.end(), next.begin(), next.end(),
                          std::back_inserter(spare));
    gate.swap(spare);
  }
}

// Calls visit(cut items) for each transaction of the anchor that takes part in counting:
// present among the cut transactions and, under a cap, still holding every anchor item
// after the cap (the memo lists full transactions; a capped one that lost an anchor item
// does not contain the anchor as far as this level is concerned). With prefix anchors only
// the items above the anchor's last are passed.
template <class Visit>
void scan_anchor(const MemoLevelInput& in, const ReducedTransactions& reduced,
                 std::span<const std::uint32_t> tids, std::span<const std::uint32_t> anchor,
                 Visit&& visit) {
  const bool capped = in.max_items_per_txn.has_value();
  const std::uint32_t last = anchor.empty() ? 0 : anchor.back();
  reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
    if (items.empty()) return;
    if (capped && !std::includes(items.begin(), items.end(), anchor.begin(), anchor.end()))
      return;
    if (in.prefix_anchors_only && !anchor.empty())
      items = {std::upper_bound(items.begin(), items.end(), last), items.end()};
    visit(items);
  });
}

// The transactions of a memo entry, ascending.
inline std::span<const std::uint32_t> walk(const Bitmap& set, std::vector<std::uint32_t>& buffer) {
  set.decode(buffer);
  return buffer;
}
inline std::span<const std::uint32_t> walk(const TidList& set, std::vector<std::uint32_t>& buffer) {
  return set.walk(buffer);
}
inline std::uint64_t set_length(const Bitmap& set) { return set.cardinality(); }
inline std::uint64_t set_length(const TidList& set) { return set.length(); }

// One level from the memo of the previous one: transactions are cut to the memo's items,
// then every memo entry is an anchor for process(in, memo, reduced, range, scratch), on the calling
// thread for anchors too few and too light to wake the pool for, else on the pool. Partial
// memos merge first entry wins.
template <class Tids, class Process>
Memo<Tids> count_memo_level(const MemoLevelInput& in, const Memo<Tids>& memo, Process process) {
  const std::size_t n_anchors = memo.itemsets.size();
  const auto flags = frequent_item_flags(memo.itemsets, in.index.item_space);
  const ReducedTransactions reduced =
      reduce_transactions(in.index, flags, in.k, in.item_weights, in.max_items_per_txn);
  const std::uint32_t space = in.index.item_space;
  const auto cost = [&](std::size_t a) { return set_length(memo.tids[a]); };
  if (!worth_sharing(n_anchors, cost)) {
    MemoScratch<Tids> scratch(space, in.k);
    process(in, memo, reduced, IndexRange{0, n_anchors}, scratch);
    return std::move(scratch.found);
  }
  const auto ranges = balanced_ranges(n_anchors, pool_threads() * tuning::kChunksPerThread, cost);
  tbb::enumerable_thread_specific<MemoScratch<Tids>> scratches(
      [&] { return MemoScratch<Tids>(space, in.k); });
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, ranges.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      MemoScratch<Tids>& scratch = scratches.local();
                      for (std::size_t c = r.begin(); c != r.end(); ++c)
                        process(in, memo, reduced, ranges[c], scratch);
                    },
                    tbb::simple_partitioner());
  throw_if_cancelled();
  std::vector<Memo<Tids>*> partials;
  for (MemoScratch<Tids>& s : scratches) partials.push_back(&s.found);
  std::sort(partials.begin(), partials.end(), [](const Memo<Tids>* a, const Memo<Tids>* b) {
    return a->itemsets.size() > b->itemsets.size();
  });
  Memo<Tids> merged = std::move(*partials[0]);
  for (std::size_t p = 1; p < partials.size(); ++p) {
    Memo<Tids>& part = *partials[p];
    for (std::size_t r = 0; r < part.itemsets.size(); ++r) {
      throw_if_cancelled_every(r);
      merged.insert(part.itemsets.row(r), part.itemsets.count(r), std::move(part.tids[r]));
    }
  }
  return merged;
}

// The transactions of both a memo entry and an item.
inline Bitmap intersect_sets(const Bitmap& set, const Bitmap& item) { return set.intersect(item); }
inline TidList intersect_sets(const TidList& set, const Bitmap& item) {
  return set.intersect_with_bitmap(item);
}

// Shared tail of every memo counter's anchor step, once its items are counted: each counted
// item x, in order of first touch, is skipped if `rejects(x)` (the tests a counter still
// makes after counting) or if below the min count; otherwise the candidate is formed,
// dropped if this worker met it already or if `passes(x)` (a pair check made only on the
// survivors) says no, and stored with its transaction set.
template <class Tids, class Rejects, class Passes>
void keep_extensions(const MemoLevelInput& in, std::span<const std::uint32_t> anchor,
                     const Tids& anchor_set, MemoScratch<Tids>& scratch, Rejects&& rejects,
                     Passes&& passes) {
  scratch.counter.drain([&](std::uint32_t item, std::uint32_t count) {
    if (rejects(item) || count < in.min_count) return;
    form_candidate(anchor, item, scratch.candidate);
    if (scratch.found.itemsets.contains(scratch.candidate)) return;
    if (!passes(item)) return;
    scratch.found.insert(scratch.candidate, count,
                         in.keep_sets ? intersect_sets(anchor_set, in.items.bitmaps[item]) : Tids{});
  });
}

// The step of the counters that count every co-occurring item first and test afterwards:
// the anchor test and the min count on each counted item, then the pair check on the few
// that remain. Shared by the bitmap and the adaptive-list memo, which differ only in the
// set they walk and intersect.
template <class Tids>
void process_anchors_counting_first(const MemoLevelInput& in, const Memo<Tids>& memo,
                                    const ReducedTransactions& reduced, IndexRange range,
                                    MemoScratch<Tids>& scratch) {
  const bool check_pairs = !in.pairs.empty();
  for (std::size_t a = range.begin; a < range.end; ++a) {
    throw_if_cancelled();
    const Tids& anchor_set = memo.tids[a];
    if (set_length(anchor_set) < in.min_count) continue;
    auto anchor = memo.itemsets.row(a);
    scan_anchor(in, reduced, walk(anchor_set, scratch.walk_buffer), anchor,
                [&](std::span<const std::uint32_t> items) {
                  for (std::uint32_t item : items) scratch.counter.add(item);
                });
    keep_extensions(
        in, anchor, anchor_set, scratch,
        [&](std::uint32_t item) { return anchor_holds(anchor, item); },
        [&](std::uint32_t item) {
          return !check_pairs || anchor.empty() || pairs_hold(anchor, item, in.pairs);
        });
  }
}

}  // namespace tallyfold
