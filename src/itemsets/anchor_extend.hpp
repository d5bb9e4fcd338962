#pragma once
// Machinery shared by every anchor-and-extend counter: candidate formation, the pair check,
// and the extension driver that runs a per-range worker sequentially or on the pool and
// merges the partial results. A counter variant supplies only its per-anchor step.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/cancel.hpp"
#include "common/dense_counter.hpp"
#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/level_parts.hpp"

namespace tallyfold {

inline bool anchor_holds(std::span<const std::uint32_t> anchor, std::uint32_t item) {
  return std::find(anchor.begin(), anchor.end(), item) != anchor.end();
}

// The anchor's items plus `item`, ascending (the anchor is ascending).
inline void form_candidate(std::span<const std::uint32_t> anchor, std::uint32_t item,
                           std::vector<std::uint32_t>& out) {
  out.clear();
  auto split = std::lower_bound(anchor.begin(), anchor.end(), item);
  out.insert(out.end(), anchor.begin(), split);
  out.push_back(item);
  out.insert(out.end(), split, anchor.end());
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
  ItemsetTable found;  // the k-itemsets this worker produced, first entry wins
  std::vector<std::uint32_t> candidate;
};

// Runs process(range, scratch) over [0, n_anchors): on the calling thread up to 500
// anchors, otherwise on the pool in ranges balanced by `cost`. Every worker keeps its own
// Scratch; their rows are joined afterwards, sorted, with one copy of an itemset met by
// several workers (it has the same count in each).
template <class Cost, class Process>
ItemsetTable extend_anchors(std::size_t n_anchors, std::uint32_t n_items, std::size_t width,
                            Cost cost, Process process) {
  if (n_anchors <= tuning::kParallelAnchorMin) {
    Scratch scratch(n_items, width);
    process(IndexRange{0, n_anchors}, scratch);
    return std::move(scratch.found);
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
  // Each worker's rows leave its table (and its hash index) before the rows are joined.
  std::vector<LevelPart> parts;
  for (Scratch& s : scratches) {
    parts.push_back({s.found.take_items(), s.found.take_counts()});
    s.found = ItemsetTable(width);
  }
  if (parts.empty()) return ItemsetTable(width);
  return join_overlapping_parts(width, parts);
}

struct LevelInput;
struct ReducedTransactions;

// Counts the items of the anchor's transactions and keeps the extensions (the step shared
// by the baseline and the Roaring counters; `tids` ascending).
void extend_one_anchor(const LevelInput& in, std::span<const std::uint32_t> anchor,
                       std::span<const std::uint32_t> tids, const ReducedTransactions& reduced,
                       Scratch& scratch);

}  // namespace tallyfold
