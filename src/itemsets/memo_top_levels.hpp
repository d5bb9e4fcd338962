#pragma once
// The last two levels of a memo pipeline on bitsets, counted together. A pipeline returns its
// two top levels, and the sets of the lower one are read by the top level's count only: an
// anchor's extensions make one group of siblings, and the top level's itemsets are exactly
// the members of such groups extended by their later siblings. So each anchor's extensions
// are made, with their sets, into a group of the worker's own, that group is extended at
// once, and its sets are dropped: the lower level's sets are never all held together, which
// was the peak of the whole call (on mushroom at count 813, level 5's sets take 38 MiB).
// Rows come out as the level-by-level count gives them: anchors in lexicographic order, the
// members of each group in order, and the groups' extensions in the same order.

#include <cstddef>
#include <cstdint>
#include <vector>

#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/bitset_memo.hpp"

namespace tallyfold {

// Ranges of anchors for the pool, weighed by the square of an anchor's later siblings: its
// group at the next level is extended within itself, which costs about that many pairs.
inline std::vector<IndexRange> top_level_ranges(const MemoSiblings& groups) {
  const std::size_t n = groups.order.size();
  if (n <= tuning::kParallelAnchorMin) return {IndexRange{0, n}};
  return whole_groups(
      balanced_ranges(n, pool_threads() * tuning::kChunksPerThread,
                      [&](std::size_t i) {
                        const double later = static_cast<double>(groups.group_end[i] - i);
                        return later * later;
                      }),
      groups);
}

// `extend(from, groups, i, out, scratch)` is a counter's own step: it commits to `out` the
// extensions of the anchor at sorted position i of `from` by its later siblings, with their
// sets when `out` keeps sets. `memo` holds level k - 1 with sets; level k is `in_k` wide.
// With `spent` (made over `memo`) each group's sets are freed once its anchors are done.
template <class Scratch, class MakeScratch, class Extend>
TopLevels count_top_levels(const BitsetMemo& memo, std::size_t in_k, SpentSets* spent,
                           MakeScratch make_scratch, Extend extend) {
  const MemoSiblings groups = memo_siblings(memo);
  const std::vector<IndexRange> ranges = top_level_ranges(groups);
  std::vector<BitsetMemo> lower_parts, top_parts;
  lower_parts.reserve(ranges.size());
  top_parts.reserve(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) {
    lower_parts.emplace_back(in_k, 0);
    top_parts.emplace_back(in_k + 1, 0);
  }
  tbb::parallel_for(std::size_t{0}, ranges.size(), [&](std::size_t c) {
    Scratch scratch = make_scratch();
    BitsetMemo group(in_k, memo.words());
    MemoSiblings within;
    for (std::size_t i = ranges[c].begin; i < ranges[c].end; ++i) {
      throw_if_cancelled();
      group.clear();
      extend(memo, groups, i, group, scratch);
      spend_group_ending_at(spent, groups, i);
      for (std::size_t r = 0; r < group.size(); ++r)
        lower_parts[c].commit(group.row(r), group.count(r), 0);
      if (group.size() < 2) continue;
      one_group_siblings(group.size(), within);
      for (std::size_t r = 0; r + 1 < group.size(); ++r)
        extend(group, within, r, top_parts[c], scratch);
    }
  });
  throw_if_cancelled();
  BitsetMemo lower = join_parts(lower_parts, in_k, 0);
  return TopLevels{std::move(lower), join_parts(top_parts, in_k + 1, 0)};
}

}  // namespace tallyfold
