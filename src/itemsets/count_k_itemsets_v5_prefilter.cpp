// Prefilter counter: the adaptive counter with the anchor test and the pair check moved in
// front of counting, so an item that cannot extend the anchor is never counted. It pays off
// where many co-occurring items fail the pair check (wide, sparse data) and costs probes
// where items recur in many of an anchor's transactions (narrow, dense data).
#include "itemsets/memo_counters.hpp"
#include "itemsets/memo_siblings.hpp"

namespace tallyfold {

namespace {

void process_anchors_v5_prefilter(const MemoLevelInput& in, const Memo<TidList>& memo,
                                  const ReducedTransactions& reduced, IndexRange range,
                                  MemoScratch<TidList>& scratch) {
  const bool check_pairs = !in.pairs.empty();
  for (std::size_t a = range.begin; a < range.end; ++a) {
    throw_if_cancelled();
    const TidList& anchor_set = memo.tids[a];
    if (anchor_set.length() < in.min_count) continue;
    auto anchor = memo.itemsets.row(a);
    // The tests repeat for every occurrence: nothing is remembered between transactions.
    scan_anchor(in, reduced, anchor_set.walk(scratch.walk_buffer), anchor,
                [&](std::span<const std::uint32_t> items) {
                  for (std::uint32_t item : items) {
                    if (anchor_holds(anchor, item)) continue;
                    if (check_pairs && !anchor.empty() && !pairs_hold(anchor, item, in.pairs))
                      continue;
                    scratch.counter.add(item);
                  }
                });
    // Nothing is left to test after counting but the min count.
    keep_extensions(
        in, anchor, anchor_set, scratch, [](std::uint32_t) { return false; },
        [](std::uint32_t) { return true; });
  }
}

}  // namespace

Memo<TidList> count_k_itemsets_v5_prefilter(const MemoLevelInput& in, const Memo<TidList>& memo) {
  if (in.prefix_anchors_only)
    return count_memo_level_by_siblings(in, memo, SiblingChoice::kCheckFirst);
  return count_memo_level(in, memo, process_anchors_v5_prefilter);
}

}  // namespace tallyfold
