// Adaptive counter: the memoised counter with TidLists, so the many small transaction sets
// of deep levels are walked and intersected as flat sequences.
#include "itemsets/memo_counters.hpp"

namespace tallyfold {

namespace {

// All co-occurring items are counted first; the pair check then runs only on the items that
// pass the anchor, min-count and duplicate tests.
void process_anchors_v3_adaptive(const MemoLevelInput& in, const Memo<TidList>& memo,
                                 const ReducedTransactions& reduced, IndexRange range,
                                 MemoScratch<TidList>& scratch) {
  const bool check_pairs = !in.pairs.empty();
  for (std::size_t a = range.begin; a < range.end; ++a) {
    const TidList& anchor_set = memo.tids[a];
    if (anchor_set.length() < in.min_count) continue;
    auto anchor = memo.itemsets.row(a);
    scan_anchor(in, reduced, anchor_set.walk(scratch.walk_buffer), anchor,
                [&](std::span<const std::uint32_t> items) {
                  for (std::uint32_t item : items) scratch.counter.add(item);
                });
    scratch.counter.drain([&](std::uint32_t item, std::uint32_t count) {
      if (anchor_holds(anchor, item) || count < in.min_count) return;
      keep_candidate(
          anchor, item, count, scratch,
          [&] { return !check_pairs || anchor.empty() || pairs_hold(anchor, item, in.pairs); },
          [&] { return anchor_set.intersect_with_bitmap(in.items.bitmaps[item]); });
    });
  }
}

}  // namespace

Memo<TidList> count_k_itemsets_v3_adaptive(const MemoLevelInput& in, const Memo<TidList>& memo) {
  return count_memo_level(in, memo,
                          [&](const ReducedTransactions& reduced, IndexRange range,
                              MemoScratch<TidList>& scratch) {
                            process_anchors_v3_adaptive(in, memo, reduced, range, scratch);
                          });
}

}  // namespace tallyfold
