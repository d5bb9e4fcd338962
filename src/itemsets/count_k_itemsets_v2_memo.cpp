// Memoised counter: every anchor's transactions come from the previous level's bitmap; each
// extension that reaches the min count gets the anchor's bitmap intersected with its item's.
#include "itemsets/memo_counters.hpp"

namespace tallyfold {

namespace {

void process_anchors_v2_memo(const MemoLevelInput& in, const Memo<Bitmap>& memo,
                             const ReducedTransactions& reduced, IndexRange range,
                             MemoScratch<Bitmap>& scratch) {
  const bool check_pairs = !in.pairs.empty();
  for (std::size_t a = range.begin; a < range.end; ++a) {
    const Bitmap& anchor_set = memo.tids[a];
    if (anchor_set.cardinality() < in.min_count) continue;
    auto anchor = memo.itemsets.row(a);
    scan_anchor(in, reduced, walk(anchor_set, scratch.walk_buffer), anchor,
                [&](std::span<const std::uint32_t> items) {
                  for (std::uint32_t item : items) scratch.counter.add(item);
                });
    scratch.counter.drain([&](std::uint32_t item, std::uint32_t count) {
      if (anchor_holds(anchor, item) || count < in.min_count) return;
      keep_candidate(
          anchor, item, count, scratch,
          [&] { return !check_pairs || anchor.empty() || pairs_hold(anchor, item, in.pairs); },
          [&] { return anchor_set.intersect(in.items.bitmaps[item]); });
    });
  }
}

}  // namespace

Memo<Bitmap> count_k_itemsets_v2_memo(const MemoLevelInput& in, const Memo<Bitmap>& memo) {
  return count_memo_level(in, memo,
                          [&](const ReducedTransactions& reduced, IndexRange range,
                              MemoScratch<Bitmap>& scratch) {
                            process_anchors_v2_memo(in, memo, reduced, range, scratch);
                          });
}

}  // namespace tallyfold
