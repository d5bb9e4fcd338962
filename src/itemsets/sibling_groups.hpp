#pragma once
// A level counted by groups of sibling anchors, for sparse data. Siblings are the anchors that
// share every item but their last (the group's prefix). With prefix anchors only (see
// LevelInput) the level's k-itemsets are exactly prefix + {a, b} for two siblings a < b whose
// count reaches the min count: an extension b of anchor prefix + {a} that is no sibling leaves
// prefix + {b} infrequent, so it cannot be frequent itself. A group is therefore counted in
// one pass over its prefix's transactions, each adding one to the cell (a, b) of every pair
// of siblings it holds, instead of one walk per anchor that counts every item above the
// anchor's last. The rows and counts are those of the walk; they come out in lexicographic
// order, each once, so the level needs no hash index.
//
// A group of more siblings than kSiblingMatrixMaxSide is counted one sibling at a time over
// that anchor's own transactions, into one row of cells, so a worker's cells stay small.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/cancel.hpp"
#include "common/itemset_table.hpp"
#include "common/pair_triangle.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/count_k_itemsets.hpp"
#include "itemsets/level_parts.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

// The sorted frequent set cut into groups of siblings: rows[starts[g]] .. rows[starts[g + 1]]
// share their first width - 1 items.
struct SiblingGroups {
  std::vector<std::uint32_t> rows;    // row numbers of the frequent set, lexicographic order
  std::vector<std::uint32_t> starts;  // groups + 1 entries
  std::size_t size() const { return starts.empty() ? 0 : starts.size() - 1; }
};

SiblingGroups sibling_groups(const ItemsetTable& frequent);

// Whether a group of `siblings` is counted whole, one table of cells for all its pairs over
// its prefix's transactions; a wider one is counted one sibling at a time over each anchor's.
inline bool counted_whole(std::size_t siblings) { return siblings <= tuning::kSiblingMatrixMaxSide; }

// One worker's cells and the table from item id to sibling position.
class SiblingCounter {
 public:
  // Cells sized up front for groups of up to `widest` siblings counted whole: grown group by
  // group instead, each worker's cells would be reallocated as wider groups come.
  SiblingCounter(std::uint32_t item_space, std::size_t widest)
      : position_(item_space, 0), cells_(triangle_cells(widest), 0) {}

  // Counts the pairs of `siblings` (ascending items) within the transactions `tids` and
  // appends prefix + {a, b} with its count for each pair reaching `min_count`.
  void count_pairs(std::span<const std::uint32_t> prefix, std::span<const std::uint32_t> siblings,
                   std::span<const std::uint32_t> tids, const ReducedTransactions& reduced,
                   std::uint32_t min_count, std::vector<std::uint32_t>& out_items,
                   std::vector<std::uint32_t>& out_counts);

  // Counts, within the transactions `tids` of prefix + {siblings[i]}, the siblings above it,
  // and appends each extension reaching `min_count`. The group must be marked (mark):
  // then only the siblings the transactions hold are read, not every sibling above i, which
  // in a group of thousands of siblings would cost more than the transactions.
  void count_row(std::span<const std::uint32_t> prefix, std::span<const std::uint32_t> siblings,
                 std::size_t i, std::span<const std::uint32_t> tids,
                 const ReducedTransactions& reduced, std::uint32_t min_count,
                 std::vector<std::uint32_t>& out_items, std::vector<std::uint32_t>& out_counts);

  // Marks the siblings by item (position + 1), and clears the marks: count_pairs marks its
  // group itself; a group counted row by row is marked once by the caller.
  void mark(std::span<const std::uint32_t> siblings);
  void unmark(std::span<const std::uint32_t> siblings);

 private:
  std::vector<std::uint32_t> position_;  // by item id: sibling position + 1, 0 for others
  std::vector<std::uint32_t> cells_;     // zero between groups
  std::vector<std::uint32_t> present_;   // sibling positions held by one transaction
  std::vector<std::uint64_t> met_;       // count_row's slots met, by bit; zero between rows
};

// Runs `count_range(range, part)` over every group: on this thread for a level whose anchors
// are too few and too light to be worth waking the pool for, otherwise on the pool in ranges
// of about equal transaction counts. One part per range, in group order.
template <class CountRange>
std::vector<LevelPart> count_groups_in_parts(const SiblingGroups& groups,
                                             const ItemsetTable& anchors, CountRange& count_range) {
  if (!worth_sharing(anchors.size(), [&](std::size_t a) { return anchors.count(a); })) {
    std::vector<LevelPart> parts(1);
    count_range(IndexRange{0, groups.size()}, parts[0]);
    return parts;
  }
  const auto ranges =
      balanced_ranges(groups.size(), pool_threads() * tuning::kChunksPerThread, [&](std::size_t g) {
        std::uint64_t cost = 0;
        for (std::uint32_t r = groups.starts[g]; r < groups.starts[g + 1]; ++r)
          cost += anchors.count(groups.rows[r]);
        return cost;
      });
  return count_ranges_in_parts(ranges, count_range);
}

// Ranges of anchors in sorted order of about equal cost, where anchor r costs cost(r) and a
// range pays setup(g) (asked once per group) for each group g it holds anchors of: one that starts inside a group
// prepares that group again. A range ends inside a group only once its anchors there cost
// at least the group's setup, so a group is never cut into more pieces than its anchors'
// work pays for (at worst twice the work, where one range per anchor would repeat a heavy
// setup for each).
template <class AnchorCost, class SetupCost>
std::vector<IndexRange> ranges_with_group_setup(const SiblingGroups& groups,
                                                std::size_t chunks_wanted, AnchorCost cost,
                                                SetupCost setup) {
  const std::size_t n = groups.rows.size();
  std::vector<double> setups(groups.size());
  double total = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    setups[g] = setup(g);
    total += setups[g];
    for (std::uint32_t r = groups.starts[g]; r < groups.starts[g + 1]; ++r) total += cost(r) + 1.0;
  }
  const double target = total / static_cast<double>(std::max<std::size_t>(chunks_wanted, 1));
  std::vector<IndexRange> ranges;
  double acc = 0;
  std::size_t begin = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const double group_setup = setups[g];
    double in_group = 0;  // this range's anchors of group g
    for (std::uint32_t r = groups.starts[g]; r < groups.starts[g + 1]; ++r) {
      if (r == groups.starts[g] || r == begin) acc += group_setup;
      const double c = cost(r) + 1.0;
      acc += c;
      in_group += c;
      const bool group_ends = r + 1 == groups.starts[g + 1];
      if (acc >= target && (group_ends || in_group >= group_setup)) {
        ranges.push_back({begin, std::size_t{r} + 1});
        begin = std::size_t{r} + 1;
        acc = 0;
        in_group = 0;
      }
    }
  }
  if (begin < n) ranges.push_back({begin, n});
  return ranges;
}

// Runs `count_range(range, part)` over every anchor, ranges being of anchors in sorted
// order (a group may be split): on this thread for anchors too few and too light to be worth
// waking the pool for, otherwise on the pool in ranges of about equal cost. An anchor costs its count; with
// `deep` (its extensions extended in turn, down to a higher level) that times one more than
// its later siblings, so that a large group's first anchors, whose subtrees are the
// largest, are spread over several ranges. `group_setup(g)` is what preparing group g costs
// a range before its first anchor there, in the same units (see ranges_with_group_setup).
// One Part per range, in anchor order.
template <class Part, class CountRange, class SetupCost>
std::vector<Part> count_anchors_in_parts(const SiblingGroups& groups,
                                         const ItemsetTable& anchors, CountRange& count_range,
                                         bool deep, SetupCost group_setup) {
  const std::size_t n = groups.rows.size();
  if (!worth_sharing(anchors.size(), [&](std::size_t a) { return anchors.count(a); })) {
    std::vector<Part> parts(1);
    count_range(IndexRange{0, n}, parts[0]);
    return parts;
  }
  std::vector<std::uint32_t> later(n, 0);
  if (deep)
    for (std::size_t g = 0; g < groups.size(); ++g)
      for (std::uint32_t r = groups.starts[g]; r < groups.starts[g + 1]; ++r)
        later[r] = groups.starts[g + 1] - r - 1;
  const auto ranges = ranges_with_group_setup(
      groups, pool_threads() * tuning::kChunksPerThread,
      [&](std::size_t r) {
        return static_cast<double>(anchors.count(groups.rows[r])) * (later[r] + 1);
      },
      group_setup);
  return map_ranges<Part>(ranges, count_range);
}

// The level by sibling groups. `make_source()` gives each worker its source of transaction
// lists: `source.build(itemset)` returns the transactions of a prefix or an anchor
// (ascending), valid until its next call; an itemset that shares items with the one before
// reuses their depths, so itemsets in lexicographic order cost least.
// Returns the level in parts, in row order, for join_level_parts: the workers' sources are
// gone by then, and the caller joins the parts once it has released what they read (item
// bitsets or bitmaps can be the size of an index direction).
template <class MakeSource>
std::vector<LevelPart> count_by_sibling_groups(const LevelInput& in,
                                               const ReducedTransactions& reduced,
                                               MakeSource make_source) {
  const std::size_t width = in.frequent.width();
  const SiblingGroups groups = sibling_groups(in.frequent);
  using Part = LevelPart;
  std::size_t widest = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::size_t side = groups.starts[g + 1] - groups.starts[g];
    if (counted_whole(side)) widest = std::max(widest, side);
  }
  // One counter per worker, kept from range to range (each group leaves it cleared).
  tbb::enumerable_thread_specific<SiblingCounter> counters(
      [&] { return SiblingCounter(in.index.item_space, widest); });
  // One source per worker as well: its depths hold for any itemset sharing their items,
  // whatever the order in which the worker meets the ranges, where a source made per range
  // allocated and freed its depths' sets on both threads range after range.
  using Source = decltype(make_source());
  tbb::enumerable_thread_specific<Source> sources([&] { return make_source(); });
  auto count_range = [&](IndexRange range, Part& part) {
    Source& source = sources.local();
    SiblingCounter& counter = counters.local();
    std::vector<std::uint32_t> siblings;
    for (std::size_t g = range.begin; g < range.end; ++g) {
      throw_if_cancelled();
      const std::uint32_t first = groups.starts[g], end = groups.starts[g + 1];
      if (end - first < 2) continue;  // a lone anchor has no sibling to be extended by
      const auto prefix = in.frequent.row(groups.rows[first]).first(width - 1);
      siblings.clear();
      for (std::uint32_t r = first; r < end; ++r) siblings.push_back(in.frequent.row(groups.rows[r])[width - 1]);
      if (counted_whole(siblings.size())) {
        const auto tids = source.build(prefix);
        if (tids.size() < in.report_min) continue;
        counter.count_pairs(prefix, siblings, tids, reduced, in.report_min, part.items, part.counts);
        continue;
      }
      counter.mark(siblings);
      for (std::size_t i = 0; i + 1 < siblings.size(); ++i) {
        const auto tids = source.build(in.frequent.row(groups.rows[first + i]));
        if (tids.size() < in.report_min) continue;
        counter.count_row(prefix, siblings, i, tids, reduced, in.report_min, part.items,
                          part.counts);
      }
      counter.unmark(siblings);
    }
  };
  return count_groups_in_parts(groups, in.frequent, count_range);
}

}  // namespace tallyfold
