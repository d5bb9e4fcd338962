// The gating counter on transaction bitsets (dense data, no cap): an anchor's candidates are
// its siblings in the previous level gated by the pair of the two new items, and each is
// counted by one bitset intersection, stopped early once it cannot reach the min count,
// instead of a walk over the anchor's transactions.
#include "itemsets/bitset_memo.hpp"

#include <tbb/parallel_for.h>

#include "common/bitset_kernels.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/memo_top_levels.hpp"

namespace tallyfold {

ItemBits ItemBits::from_pairs(const InvertedIndex& index, const ItemsetTable& pairs) {
  ItemBits items;
  items.words = bitset_words(index.n_transactions);
  items.slot.assign(index.item_space, kNone);
  std::uint32_t slots = 0;
  for (std::size_t p = 0; p < pairs.size(); ++p)
    for (std::uint32_t item : pairs.row(p))
      if (items.slot[item] == kNone) items.slot[item] = slots++;
  items.bits.assign(static_cast<std::size_t>(slots) * items.words, 0);
  for (std::uint32_t item = 0; item < index.item_space; ++item)
    if (items.slot[item] != kNone)
      set_bits(index.txns_of(item), items.bits.data() + items.slot[item] * items.words);
  return items;
}

BitsetMemo build_pair_bitsets(const ItemsetTable& pairs, const ItemBits& items) {
  BitsetMemo memo(2, items.words);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    auto pair = pairs.row(p);
    and_into(items.of(pair[0]), items.of(pair[1]), memo.scratch_bits(), items.words);
    memo.commit(pair, pairs.count(p));
  }
  return memo;
}

MemoSiblings memo_siblings(const BitsetMemo& memo) {
  MemoSiblings g;
  g.order = memo.sorted_rows();
  const std::size_t n = g.order.size(), prefix = memo.width() - 1;
  g.group_end.resize(n);
  std::size_t begin = 0;
  for (std::size_t i = 1; i <= n; ++i) {
    if (i < n) {
      auto a = memo.row(g.order[begin]), b = memo.row(g.order[i]);
      if (std::equal(a.begin(), a.begin() + prefix, b.begin())) continue;
    }
    for (std::size_t j = begin; j < i; ++j) g.group_end[j] = static_cast<std::uint32_t>(i);
    begin = i;
  }
  return g;
}

void one_group_siblings(std::size_t n, MemoSiblings& out) {
  out.order.resize(n);
  out.group_end.assign(n, static_cast<std::uint32_t>(n));
  for (std::size_t i = 0; i < n; ++i) out.order[i] = static_cast<std::uint32_t>(i);
}

namespace {

struct GatingScratch {
  explicit GatingScratch(std::size_t words) : room(words) {}
  std::vector<std::uint64_t> room;  // the intersection, when the new memo keeps no sets
  std::vector<std::uint32_t> candidate, suffix;
};

// Extends the anchor at sorted position i by its later siblings that form a frequent pair
// with its last item; each count is the anchor's set ANDed with the sibling's. With `items`
// the last extension keeps no set either, and where a sibling has none its item's bitset
// stands in: the anchor holds the sibling's other items, so both give the same intersection.
void extend_anchor_v6_gating_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                     const ItemBits* items, const MemoSiblings& groups,
                                     std::size_t i, BitsetMemo& out, GatingScratch& scratch) {
  const std::size_t words = memo.words();
  const std::uint32_t a = groups.order[i];
  auto anchor = memo.row(a);
  const std::uint64_t* anchor_bits = memo.bits(a);
  bool suffix_ready = false;
  int kept = 0;
  for (std::size_t j = i + 1; j < groups.group_end[i]; ++j) {
    const std::uint32_t sibling = groups.order[j];
    const std::uint32_t item = memo.row(sibling).back();
    if (!in.pairs.contains(anchor.back(), item)) continue;
    if (!suffix_ready) {
      block_suffix_counts(anchor_bits, words, scratch.suffix);
      suffix_ready = true;
    }
    const std::uint32_t count =
        and_into_at_least(anchor_bits,
                          memo.bits(sibling) != nullptr ? memo.bits(sibling) : items->of(item),
                          out.words() != 0 ? out.scratch_bits() : scratch.room.data(), words,
                          in.min_count, scratch.suffix);
    if (count < in.min_count) continue;
    form_candidate(anchor, item, scratch.candidate);
    out.commit(scratch.candidate, count);
    ++kept;
  }
  // A lone extension has no sibling at the next level: nothing reads its set; nor, where an
  // item's bitset stands in for it, that of the last.
  if (kept == 1 || (kept > 1 && items != nullptr)) out.drop_last_set();
}

void process_anchors_v6_gating_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                       const ItemBits* items, const MemoSiblings& groups,
                                       IndexRange range, BitsetMemo& out, SpentSets* spent) {
  GatingScratch scratch(out.words() != 0 ? 0 : memo.words());
  for (std::size_t i = range.begin; i < range.end; ++i) {
    throw_if_cancelled();
    extend_anchor_v6_gating_bitsets(in, memo, items, groups, i, out, scratch);
    spend_group_ending_at(spent, groups, i);
  }
}

}  // namespace

BitsetMemo count_k_itemsets_v6_gating_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                              bool keep_sets, SpentSets* spent,
                                              const ItemBits* items) {
  const std::size_t out_words = keep_sets ? memo.words() : 0;
  const std::size_t n_anchors = memo.size();
  const MemoSiblings groups = memo_siblings(memo);
  // An anchor ANDs the memo's words with each later sibling's that passes the gate.
  const bool share = worth_sharing(n_anchors, [&](std::size_t i) {
    return and_steps(static_cast<double>(groups.group_end[i] - i), memo.words());
  });
  const std::size_t chunks = share ? pool_threads() * tuning::kChunksPerThread : 1;
  const auto ranges = whole_groups(even_ranges(n_anchors, chunks), groups);
  // Each anchor extends by its own later siblings only, so the ranges find disjoint
  // itemsets and their results simply join.
  std::vector<BitsetMemo> parts;
  parts.reserve(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) parts.emplace_back(in.k, out_words);
  tbb::parallel_for(std::size_t{0}, ranges.size(), [&](std::size_t c) {
    process_anchors_v6_gating_bitsets(in, memo, items, groups, ranges[c], parts[c], spent);
  });
  throw_if_cancelled();
  return join_parts(parts, in.k, out_words);
}

TopLevels count_top_levels_v6_gating_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                             std::size_t top_k, SpentSets* spent,
                                             const ItemBits* items) {
  return count_top_levels<GatingScratch>(
      memo, in.k, top_k, spent, [&] { return GatingScratch(memo.words()); },
      [&](const BitsetMemo& from, const MemoSiblings& groups, std::size_t i, BitsetMemo& out,
          GatingScratch& scratch) {
        extend_anchor_v6_gating_bitsets(in, from, items, groups, i, out, scratch);
      });
}

}  // namespace tallyfold
