// Memoised counter: every anchor's transactions come from the previous level's bitmap; each
// extension that reaches the min count gets the anchor's bitmap intersected with its item's.
#include "itemsets/memo_counters.hpp"
#include "itemsets/memo_siblings.hpp"

namespace tallyfold {

namespace {

// Counts every co-occurring item of the anchor's transactions (walked from its bitmap),
// then tests the counted items; a kept extension's bitmap is the anchor's intersected with
// the item's.
void process_anchors_v2_memo(const MemoLevelInput& in, const Memo<Bitmap>& memo,
                             const ReducedTransactions& reduced, IndexRange range,
                             MemoScratch<Bitmap>& scratch) {
  process_anchors_counting_first(in, memo, reduced, range, scratch);
}

}  // namespace

Memo<Bitmap> count_k_itemsets_v2_memo(const MemoLevelInput& in, const Memo<Bitmap>& memo) {
  if (in.prefix_anchors_only)
    return count_memo_level_by_siblings(in, memo, SiblingChoice::kCountThenCheck);
  return count_memo_level(in, memo, process_anchors_v2_memo);
}

}  // namespace tallyfold
