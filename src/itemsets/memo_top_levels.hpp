#pragma once
// The top levels of a memo pipeline on bitsets, counted depth first. A pipeline returns its
// two top levels only, and the sets of every level below them are read by the next level's
// count only: an anchor's extensions make one group of siblings, and the next level's
// itemsets are exactly the members of such groups extended by their later siblings. So each
// anchor's extensions are made, with their sets, into a group of the worker's own, that group
// is extended at once (and its extensions in turn, down to the top level), and its sets are
// dropped: no level's sets are ever all held together. Held level by level, they were the
// peak of the whole call (on mushroom at count 813, level 4's sets take 16 MiB and level 5's
// 38 MiB, against 3 MiB of result).
// Rows come out as the level-by-level count gives them: anchors in lexicographic order, the
// members of each group in order, and the groups' extensions in the same order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/bitset_memo.hpp"

namespace tallyfold {

// Ranges of anchors for the pool. An anchor with s later siblings is weighed by the number of
// itemsets its subtree could hold down to `depth` levels above it (s + C(s, 2) + ... ), about
// what extending it costs. With `spent` each range holds whole groups, whose anchors read one
// another's sets; a memo held to the end is cut anywhere, so that one large group does not
// keep a core idle.
inline std::vector<IndexRange> top_level_ranges(const MemoSiblings& groups, std::size_t depth,
                                                bool whole) {
  const std::size_t n = groups.order.size();
  const std::size_t min_parallel = depth > 2 ? 1 : tuning::kParallelAnchorMin;
  if (n <= min_parallel) return {IndexRange{0, n}};
  auto cost = [&](std::size_t i) {
    const double later = static_cast<double>(groups.group_end[i] - i - 1);
    double term = 1, weight = 0;
    for (std::size_t d = 1; d <= depth && later + 1 > static_cast<double>(d); ++d) {
      term *= (later - static_cast<double>(d) + 1) / static_cast<double>(d);
      weight += term;
    }
    return weight;
  };
  auto ranges = balanced_ranges(n, pool_threads() * tuning::kChunksPerThread, cost);
  return whole ? whole_groups(ranges, groups) : ranges;
}

// Levels `in_k` up to `top_k` (at least in_k + 1) from `memo`, which holds level in_k - 1 with
// sets; the two top levels come back with counts only, or, where a level below them is empty,
// that level (empty) as `lower`, since nothing extends it. `extend(from, groups, i, out,
// scratch)` is a counter's own step: it commits to `out` the extensions of the anchor at
// sorted position i of `from` by its later siblings, with their sets when `out` keeps sets.
// With `spent` (made over `memo`) the memo's sets are freed once nothing reads them: each
// group's once its anchors are done (two levels), or all once the walk is done (deeper).
template <class Scratch, class MakeScratch, class Extend>
TopLevels count_top_levels(const BitsetMemo& memo, std::size_t in_k, std::size_t top_k,
                           SpentSets* spent, MakeScratch make_scratch, Extend extend) {
  const MemoSiblings groups = memo_siblings(memo);
  // k_max may be far above the longest itemset: the weights look a bounded depth ahead, and
  // the per-level state below grows only as deep as the walk goes.
  const std::size_t depth = std::min<std::size_t>(top_k - in_k + 1, 64);
  // Two levels at once free each group's sets as soon as it is done, which needs whole
  // groups in a range; deeper walks free the memo's sets once every range is done, before
  // the results are joined.
  const bool spend_by_group = spent != nullptr && top_k == in_k + 1;
  const std::vector<IndexRange> ranges = top_level_ranges(groups, depth, spend_by_group);
  std::vector<BitsetMemo> lower_parts, top_parts;
  lower_parts.reserve(ranges.size());
  top_parts.reserve(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) {
    lower_parts.emplace_back(top_k - 1, 0);
    top_parts.emplace_back(top_k, 0);
  }
  // Per range, how many itemsets each level below the top two gained (from level in_k).
  std::vector<std::vector<std::size_t>> found(ranges.size());
  tbb::parallel_for(std::size_t{0}, ranges.size(), [&](std::size_t c) {
    Scratch scratch = make_scratch();
    // Per level from in_k up: the group being extended, and its siblings (a deque, since
    // outer levels' groups are read while deeper ones are added).
    std::deque<BitsetMemo> stack;
    std::deque<MemoSiblings> within;
    // Extends the anchor at sorted position i of `from` (level k - 1) to level k and on.
    auto descend = [&](auto& self, const BitsetMemo& from, const MemoSiblings& siblings,
                       std::size_t i, std::size_t k) -> void {
      throw_if_cancelled();
      if (k == top_k) return extend(from, siblings, i, top_parts[c], scratch);
      const std::size_t at = k - in_k;
      if (stack.size() == at) {
        stack.emplace_back(k, memo.words());
        within.emplace_back();
      }
      BitsetMemo& group = stack[at];
      group.clear();
      extend(from, siblings, i, group, scratch);
      if (k + 1 == top_k) {
        for (std::size_t r = 0; r < group.size(); ++r)
          lower_parts[c].commit(group.row(r), group.count(r), 0);
      } else {
        if (found[c].size() == at) found[c].push_back(0);
        found[c][at] += group.size();
      }
      if (group.size() < 2) return;
      one_group_siblings(group.size(), within[at]);
      for (std::size_t r = 0; r + 1 < group.size(); ++r) self(self, group, within[at], r, k + 1);
    };
    for (std::size_t i = ranges[c].begin; i < ranges[c].end; ++i) {
      descend(descend, memo, groups, i, in_k);
      if (spend_by_group) spend_group_ending_at(spent, groups, i);
    }
  });
  throw_if_cancelled();
  if (spent != nullptr && !spend_by_group)
    for (std::size_t row = 0; row < memo.size(); ++row) spent->spend(row);
  // The first empty level below the top two ends the pipeline there; a level no range
  // reached is empty.
  for (std::size_t k = in_k; k + 1 < top_k; ++k) {
    std::size_t rows = 0;
    for (const auto& part : found)
      if (k - in_k < part.size()) rows += part[k - in_k];
    if (rows == 0) return TopLevels{BitsetMemo(k, 0), BitsetMemo(k + 1, 0)};
  }
  BitsetMemo lower = join_parts(lower_parts, top_k - 1, 0);
  return TopLevels{std::move(lower), join_parts(top_parts, top_k, 0)};
}

}  // namespace tallyfold
