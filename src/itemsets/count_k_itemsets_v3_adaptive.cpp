// Adaptive counter: the memoised counter with TidLists, so the many small transaction sets
// of deep levels are walked and intersected as flat sequences.
#include "itemsets/memo_counters.hpp"
#include "itemsets/memo_siblings.hpp"

namespace tallyfold {

namespace {

// All co-occurring items are counted first, walking the anchor's TidList (a flat sequence
// when small); the pair check then runs only on the items that pass the anchor, min-count
// and duplicate tests, and a kept extension's TidList is Sparse or Dense by its length.
void process_anchors_v3_adaptive(const MemoLevelInput& in, const Memo<TidList>& memo,
                                 const ReducedTransactions& reduced, IndexRange range,
                                 MemoScratch<TidList>& scratch) {
  process_anchors_counting_first(in, memo, reduced, range, scratch);
}

}  // namespace

Memo<TidList> count_k_itemsets_v3_adaptive(const MemoLevelInput& in, const Memo<TidList>& memo) {
  if (in.prefix_anchors_only)
    return count_memo_level_by_siblings(in, memo, SiblingChoice::kCountThenCheck);
  return count_memo_level(in, memo, process_anchors_v3_adaptive);
}

}  // namespace tallyfold
