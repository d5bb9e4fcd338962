// Roaring counter: the baseline counter with each anchor's transactions held as a bitmap,
// compressed for large sets and walked in ascending order.
#include <algorithm>
#include <vector>

#include "common/roaring.hpp"
#include "common/row_order.hpp"
#include "common/tid_list.hpp"
#include "itemsets/anchor_extend.hpp"
#include "itemsets/anchor_tids.hpp"
#include "itemsets/count_k_itemsets.hpp"
#include "itemsets/extension_owner.hpp"
#include "itemsets/level_on_bitsets.hpp"
#include "itemsets/prefix_lists.hpp"
#include "itemsets/reduced_transactions.hpp"
#include "itemsets/sibling_groups.hpp"

namespace tallyfold {

namespace {

void process_anchors_roaring(const LevelInput& in, const AnchorTids& anchors,
                             const std::vector<Bitmap>& anchor_sets,
                             const ReducedTransactions& reduced,
                             const ExtensionOwnership* ownership,
                             IndexRange range, Scratch& scratch,
                             std::vector<std::uint32_t>& walk_buffer) {
  for (std::size_t a = range.begin; a < range.end; ++a) {
    throw_if_cancelled();
    anchor_sets[a].decode(walk_buffer);
    extend_one_anchor(in, anchors.anchor(a), walk_buffer, reduced, ownership, scratch);
  }
}

// The transactions of a prefix or an anchor as a Roaring bitmap, built along itemsets in
// lexicographic order: the bitmap of each depth is the one above it intersected with the next
// item's, so consecutive itemsets recompute only what they do not share. The top bitmap is
// decoded for the walk.
class RoaringPrefixes {
 public:
  RoaringPrefixes(const ItemTxnsRoaring& items, std::size_t capacity)
      : items_(items), stack_(capacity) {}

  std::span<const std::uint32_t> build(std::span<const std::uint32_t> itemset) {
    const std::size_t width = itemset.size();
    const std::size_t depth = shared_prefix(previous_, itemset);
    for (std::size_t j = std::max<std::size_t>(depth, 1); j < width; ++j)
      at(j - 1, itemset).intersect_into(items_.bitmaps[itemset[j]], stack_[j]);
    previous_.assign(itemset.begin(), itemset.end());
    at(width - 1, itemset).decode(decoded_);
    return decoded_;
  }

 private:
  // Depth 0 is the first item's own bitmap, never copied.
  const Bitmap& at(std::size_t j, std::span<const std::uint32_t> itemset) const {
    return j == 0 ? items_.bitmaps[itemset[0]] : stack_[j];
  }

  const ItemTxnsRoaring& items_;
  std::vector<Bitmap> stack_;
  std::vector<std::uint32_t> previous_, decoded_;
};

// Whether the sibling groups of a level of pairs ask only for one-item prefixes: each group
// (the pairs sharing a first item) is then counted whole over its first item's transactions;
// a wider one asks for its anchors.
bool prefixes_are_items(const LevelInput& in) {
  if (in.frequent.width() != 2) return false;
  std::vector<std::uint32_t> siblings(in.index.item_space + std::size_t{1}, 0);
  for (std::size_t r = 0; r < in.frequent.size(); ++r) {
    const std::uint32_t first = std::min(in.frequent.row(r)[0], in.index.item_space);
    if (!counted_whole(++siblings[first])) return false;
  }
  return true;
}

}  // namespace

ItemsetTable count_k_itemsets_v1_roaring(const LevelInput& in) {
  // Dense data: anchors built by intersecting bitmaps along the sorted anchors, each
  // extension counted by one more intersection instead of a walk.
  if (auto level = count_level_on_roaring(in)) return std::move(*level);
  const auto flags = frequent_item_flags(in.frequent, in.index.item_space);
  // The sibling counters skip items that are no chosen sibling: their rows may stay whole.
  const bool by_siblings = in.prefix_anchors_only && in.frequent.width() >= 2;
  ReducedTransactions reduced = reduce_transactions(
      in.index, flags, in.k, in.item_weights, in.max_items_per_txn, by_siblings);
  // Sparse data with prefix anchors: siblings counted together over their prefix's
  // transactions, the prefix's bitmap intersected from its items' bitmaps.
  if (by_siblings) {
    std::vector<LevelPart> parts;
    if (prefixes_are_items(in)) {
      // Every prefix asked for is one item, whose bitmap would only be decoded back into
      // its list: the index's list is read instead, and no bitmap is built.
      parts = count_by_sibling_groups(
          in, reduced, [&] { return PrefixLists(in.index, in.frequent.width()); });
    } else {
      const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(in.index, &flags);
      parts = count_by_sibling_groups(
          in, reduced, [&] { return RoaringPrefixes(items, in.frequent.width()); });
    }
    // The level's rows are copied out of their parts: the sources go first.
    reduced = ReducedTransactions{};
    return join_level_parts(in.frequent.width() + 1, parts);
  }
  // The matches of every chunk of transactions, laid out per anchor, become the anchors'
  // bitmaps: the union of what each chunk found.
  const AnchorTids anchors = collect_anchor_tids(in.frequent, reduced);
  std::vector<Bitmap> anchor_sets(anchors.size());
  tbb::parallel_for(std::size_t{0}, anchors.size(),
                    [&](std::size_t a) { anchor_sets[a] = Bitmap::of(anchors.tids_of(a)); });
  throw_if_cancelled();
  tbb::enumerable_thread_specific<std::vector<std::uint32_t>> walk_buffers;
  const ExtensionOwnership ownership =
      extension_ownership(in, rows_that_can_occur(in), flagged_items(flags),
                          in.index.txn_items.size() * sizeof(std::uint32_t));
  return extend_anchors(
      anchors.size(), in.index.item_space, in.k,
      [&](std::size_t a) { return anchors.offsets[a + 1] - anchors.offsets[a]; },
      [&](IndexRange range, Scratch& scratch) {
        process_anchors_roaring(in, anchors, anchor_sets, reduced, &ownership, range, scratch,
                                walk_buffers.local());
      });
}

}  // namespace tallyfold
