// Gating counter: before an anchor's transactions are walked, its candidate set is built
// from the pair-neighbor lists (the items that pair with every anchor item). One flag test
// per counted item then replaces both the anchor test and the pair check, and an anchor
// with no candidate is skipped without touching its transactions.
#include "itemsets/memo_counters.hpp"
#include "itemsets/memo_siblings.hpp"

namespace tallyfold {

namespace {

void process_anchors_v6_gating(const MemoLevelInput& in, const Memo<TidList>& memo,
                               const ReducedTransactions& reduced, IndexRange range,
                               MemoScratch<TidList>& scratch) {
  std::vector<std::uint32_t> gate, spare;
  for (std::size_t a = range.begin; a < range.end; ++a) {
    throw_if_cancelled();
    auto anchor = memo.itemsets.row(a);
    if (anchor.empty()) continue;
    intersect_neighbors(*in.neighbors, anchor, gate, spare);
    if (in.prefix_anchors_only)
      gate.erase(gate.begin(), std::upper_bound(gate.begin(), gate.end(), anchor.back()));
    if (gate.empty()) continue;
    const TidList& anchor_set = memo.tids[a];
    if (anchor_set.length() < in.min_count) continue;
    for (std::uint32_t item : gate) scratch.gate[item] = 1;
    scan_anchor(in, reduced, anchor_set.walk(scratch.walk_buffer), anchor,
                [&](std::span<const std::uint32_t> items) {
                  for (std::uint32_t item : items)
                    if (scratch.gate[item]) scratch.counter.add(item);
                });
    for (std::uint32_t item : gate) scratch.gate[item] = 0;
    // The gate stood for the anchor test and the pair check: only the min count is left.
    keep_extensions(
        in, anchor, anchor_set, scratch, [](std::uint32_t) { return false; },
        [](std::uint32_t) { return true; });
  }
}

}  // namespace

Memo<TidList> count_k_itemsets_v6_gating(const MemoLevelInput& in, const Memo<TidList>& memo) {
  if (in.prefix_anchors_only)
    return count_memo_level_by_siblings(in, memo, SiblingChoice::kNeighborGate);
  return count_memo_level(in, memo, process_anchors_v6_gating);
}

}  // namespace tallyfold
