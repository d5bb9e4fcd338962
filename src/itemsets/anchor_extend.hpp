#pragma once
// Machinery shared by every anchor-and-extend counter: candidate formation, the pair check,
// and the extension driver that runs a per-range worker sequentially or on the pool and
// merges the partial results. A counter variant supplies only its per-anchor step.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/cancel.hpp"
#include "common/dense_counter.hpp"
#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/extension_masks.hpp"
#include "itemsets/level_parts.hpp"

namespace tallyfold {

inline bool anchor_holds(std::span<const std::uint32_t> anchor, std::uint32_t item) {
  return std::find(anchor.begin(), anchor.end(), item) != anchor.end();
}

// The anchor's items plus `item`, ascending (the anchor is ascending); returns the
// position of `item` in it.
inline std::size_t form_candidate(std::span<const std::uint32_t> anchor, std::uint32_t item,
                                  std::vector<std::uint32_t>& out) {
  // Item by item: the rows are a few items long, too short for a block copy to pay.
  out.resize(anchor.size() + 1);
  std::size_t position = 0;
  for (; position < anchor.size() && anchor[position] < item; ++position)
    out[position] = anchor[position];
  out[position] = item;
  for (std::size_t i = position; i < anchor.size(); ++i) out[i + 1] = anchor[i];
  return position;
}

// Every pair of `item` with an anchor item is frequent. Pairs inside the anchor are not
// tested: they were tested when the anchor itself was formed.
inline bool pairs_hold(std::span<const std::uint32_t> anchor, std::uint32_t item,
                       const PairSet& pairs) {
  for (std::uint32_t a : anchor)
    if (!pairs.contains(a, item)) return false;
  return true;
}

// Per-worker state of the extension step.
struct Scratch {
  Scratch(std::uint32_t n_items, std::size_t width) : counter(n_items), found(width) {}
  DenseCounter counter;
  RowChunks found;  // the k-itemsets this worker kept: each is kept by one anchor only
  std::vector<std::uint32_t> candidate, rest;
  std::optional<ExtensionMasks::Anchor> masked;  // with masks: the anchor at hand
  // With masks: 1 for each item the anchor at hand owns, and a tally by item that adds the
  // flag of every item met; both all zero between anchors (sized on first use).
  std::vector<std::uint8_t> gate;
  std::vector<std::uint32_t> tally;
  void keep(std::span<const std::uint32_t> itemset, std::uint32_t count) {
    found.append(itemset, count);
  }
};

// Runs process(range, scratch) over [0, n_anchors): on the calling thread for anchors not
// worth sharing, otherwise on the pool in ranges balanced by `cost`. Every worker keeps its
// own Scratch; their rows, distinct as each itemset has one owning anchor, are joined in
// order.
template <class Cost, class Process>
ItemsetTable extend_anchors(std::size_t n_anchors, std::uint32_t n_items, std::size_t width,
                            Cost cost, Process process) {
  std::vector<RowChunks> parts;
  if (!worth_sharing(n_anchors, cost)) {
    Scratch scratch(n_items, width);
    process(IndexRange{0, n_anchors}, scratch);
    parts.push_back(std::move(scratch.found));
    return join_chunks_in_order(n_items, parts);
  }
  const auto ranges = balanced_ranges(n_anchors, pool_threads() * tuning::kChunksPerThread, cost);
  tbb::enumerable_thread_specific<Scratch> scratches([&] { return Scratch(n_items, width); });
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, ranges.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      Scratch& scratch = scratches.local();
                      for (std::size_t c = r.begin(); c != r.end(); ++c) process(ranges[c], scratch);
                    },
                    tbb::simple_partitioner());
  throw_if_cancelled();
  for (Scratch& s : scratches) parts.push_back(std::move(s.found));
  if (parts.empty()) return ItemsetTable(width);
  return join_chunks_in_order(n_items, parts);
}

struct LevelInput;
struct ReducedTransactions;
struct ExtensionOwnership;

// Counts the items of the anchor's transactions and keeps the extensions the anchor owns
// (the step shared by the baseline and the Roaring counters; `tids` ascending). Prefix
// anchors own every extension they find; other anchors pass how ownership is told.
void extend_one_anchor(const LevelInput& in, std::span<const std::uint32_t> anchor,
                       std::span<const std::uint32_t> tids, const ReducedTransactions& reduced,
                       const ExtensionOwnership* ownership, Scratch& scratch);

// The rows of the frequent set that can occur (strictly ascending, every item known), in
// lexicographic order.
std::vector<std::uint32_t> rows_that_can_occur(const LevelInput& in);

// The items flagged, ascending.
std::vector<std::uint32_t> flagged_items(const std::vector<std::uint8_t>& flags);

}  // namespace tallyfold
