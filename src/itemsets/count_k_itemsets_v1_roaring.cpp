// Roaring counter: the baseline counter with each anchor's transactions held as a bitmap,
// compressed for large sets and walked in ascending order.
#include <vector>

#include "common/roaring.hpp"
#include "itemsets/anchor_extend.hpp"
#include "itemsets/anchor_tids.hpp"
#include "itemsets/count_k_itemsets.hpp"
#include "itemsets/level_on_bitsets.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

namespace {

void process_anchors_roaring(const LevelInput& in, const AnchorTids& anchors,
                             const std::vector<Bitmap>& anchor_sets,
                             const ReducedTransactions& reduced, IndexRange range,
                             Scratch& scratch, std::vector<std::uint32_t>& walk_buffer) {
  for (std::size_t a = range.begin; a < range.end; ++a) {
    throw_if_cancelled();
    anchor_sets[a].decode(walk_buffer);
    extend_one_anchor(in, anchors.anchor(a), walk_buffer, reduced, scratch);
  }
}

}  // namespace

ItemsetTable count_k_itemsets_v1_roaring(const LevelInput& in) {
  // Dense data: anchors built by intersecting bitmaps along the sorted anchors, each
  // extension counted by one more intersection instead of a walk.
  if (auto level = count_level_on_roaring(in)) return std::move(*level);
  const auto flags = frequent_item_flags(in.frequent, in.index.item_space);
  const ReducedTransactions reduced =
      reduce_transactions(in.index, flags, in.k, in.item_weights, in.max_items_per_txn);
  // The matches of every chunk of transactions, laid out per anchor, become the anchors'
  // bitmaps: the union of what each chunk found.
  const AnchorTids anchors = collect_anchor_tids(in.frequent, reduced);
  std::vector<Bitmap> anchor_sets(anchors.size());
  tbb::parallel_for(std::size_t{0}, anchors.size(),
                    [&](std::size_t a) { anchor_sets[a] = Bitmap::of(anchors.tids_of(a)); });
  throw_if_cancelled();
  tbb::enumerable_thread_specific<std::vector<std::uint32_t>> walk_buffers;
  return extend_anchors(
      anchors.size(), in.index.item_space, in.k,
      [&](std::size_t a) { return anchors.offsets[a + 1] - anchors.offsets[a]; },
      [&](IndexRange range, Scratch& scratch) {
        process_anchors_roaring(in, anchors, anchor_sets, reduced, range, scratch,
                                walk_buffers.local());
      });
}

}  // namespace tallyfold
