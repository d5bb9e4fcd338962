#include "itemsets/memo_on_bitsets.hpp"

#include <algorithm>
#include <cstring>

#include <tbb/parallel_for.h>

#include "common/bitset_kernels.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/memo_top_levels.hpp"

namespace tallyfold {

namespace {

// An adaptive memo's list form, written over the room of a bitset (it never needs more).
std::uint32_t* as_list(std::uint64_t* room) { return reinterpret_cast<std::uint32_t*>(room); }
std::span<const std::uint32_t> list_of(const BitsetMemo& memo, std::size_t r) {
  return {reinterpret_cast<const std::uint32_t*>(memo.bits(r)), memo.count(r)};
}
std::size_t list_words(std::uint32_t length) { return (static_cast<std::size_t>(length) + 1) / 2; }

// Rewrites the bitset in `room` as the ascending list of its transactions.
void bitset_to_list(std::uint64_t* room, std::size_t words, std::vector<std::uint32_t>& buffer) {
  list_bits(room, words, buffer);
  std::memcpy(room, buffer.data(), buffer.size() * sizeof(std::uint32_t));
}

// The transactions of `list` whose bit is set in `bits`, into `out`, with their number; a
// value below `need` once the rest of the list can no longer reach it (out is then partial).
std::uint32_t list_and_bits(std::span<const std::uint32_t> list, const std::uint64_t* bits,
                            std::uint32_t* out, std::uint32_t need) {
  std::uint32_t found = 0;
  const std::size_t n = list.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t t = list[i];
    if ((bits[t >> 6] >> (t & 63)) & 1u)
      out[found++] = t;
    else if (found + (n - i - 1) < need)
      return found;
  }
  return found;
}

// One worker's buffers.
struct BitsetScratch {
  explicit BitsetScratch(std::size_t words) : room(words) {}
  std::vector<std::uint64_t> room;  // the intersection, when the new memo keeps no sets
  std::vector<std::uint32_t> suffix, candidate, list;
};

// Extends the anchor at sorted position i by its later siblings (see MemoSiblings): their
// pairs with the anchor's other items hold, so only the pair of the two last items is
// checked, before or after counting by the counter's style. The count comes from the
// anchor's set ANDed with the sibling's (a bitset, sparser than the item's), or with the
// item's bitset when one of the two is kept as a list.
void extend_anchor(const MemoLevelInput& in, const BitsetMemo& memo, const ItemBits& items,
                   BitsetMemoStyle style, const MemoSiblings& groups, std::size_t i,
                   BitsetMemo& out, BitsetScratch& scratch) {
  const std::uint32_t r = groups.order[i];
  if (groups.group_end[i] == i + 1 || memo.count(r) < in.min_count) return;
  auto anchor = memo.row(r);
  const std::uint32_t last = anchor.back();
  const std::size_t words = memo.words();
  const std::size_t limit = memo_list_limit(words);
  const auto is_list = [&](std::uint32_t row) { return style.adaptive && memo.count(row) < limit; };
  const bool anchor_is_list = is_list(r);
  bool suffix_ready = false, kept = false;
  for (std::size_t j = i + 1; j < groups.group_end[i]; ++j) {
    const std::uint32_t sibling = groups.order[j];
    const std::uint32_t item = memo.row(sibling).back();
    if (style.check_pairs_first && !in.pairs.contains(last, item)) continue;
    std::uint64_t* room = out.words() != 0 ? out.scratch_bits() : scratch.room.data();
    std::uint32_t count;
    std::size_t used = words;
    if (anchor_is_list) {
      // A list's subset is shorter still, so it stays a list.
      count = list_and_bits(list_of(memo, r), items.of(item), as_list(room), in.min_count);
      used = list_words(count);
    } else {
      if (!suffix_ready) {
        block_suffix_counts(memo.bits(r), words, scratch.suffix);
        suffix_ready = true;
      }
      const std::uint64_t* other = is_list(sibling) || memo.bits(sibling) == nullptr
                                       ? items.of(item)
                                       : memo.bits(sibling);
      count = and_into_at_least(memo.bits(r), other, room, words, in.min_count, scratch.suffix);
      if (count >= in.min_count && style.adaptive && count < limit && out.words() != 0) {
        bitset_to_list(room, words, scratch.list);
        used = list_words(count);
      }
    }
    if (count < in.min_count) continue;
    if (!style.check_pairs_first && !in.pairs.contains(last, item)) continue;
    scratch.candidate.assign(anchor.begin(), anchor.end());
    scratch.candidate.push_back(item);  // above the anchor's last: the row stays ascending
    out.commit(scratch.candidate, count, used);
    kept = true;
  }
  // The last extension is the last of its group at the next level: its set is never read
  // (where a sibling's set is missing, the item's bitset stands in).
  if (kept) out.drop_last_set();
}

}  // namespace

BitsetMemo build_pair_memo_on_bitsets(const ItemsetTable& pairs, const ItemBits& items,
                                      BitsetMemoStyle style) {
  BitsetMemo memo(2, items.words);
  std::vector<std::uint32_t> buffer;
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    auto pair = pairs.row(p);
    std::uint64_t* room = memo.scratch_bits();
    const std::uint32_t count = and_into(items.of(pair[0]), items.of(pair[1]), room, items.words);
    std::size_t used = items.words;
    if (style.adaptive && count < memo_list_limit(items.words)) {
      bitset_to_list(room, items.words, buffer);
      used = list_words(count);
    }
    memo.commit(pair, count, used);
  }
  return memo;
}

BitsetMemo count_memo_level_on_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                       const ItemBits& items, BitsetMemoStyle style,
                                       bool keep_sets, SpentSets* spent) {
  const std::size_t n_anchors = memo.size();
  const std::size_t out_words = keep_sets ? memo.words() : 0;
  const MemoSiblings groups = memo_siblings(memo);
  // An anchor ANDs the memo's words with each later sibling's.
  const auto cost = [&](std::size_t i) { return groups.group_end[i] - i; };
  const bool share = worth_sharing(n_anchors, [&](std::size_t i) {
    return and_steps(static_cast<double>(cost(i)), memo.words());
  });
  const auto ranges = whole_groups(
      !share ? std::vector<IndexRange>{IndexRange{0, n_anchors}}
             : balanced_ranges(n_anchors, pool_threads() * tuning::kChunksPerThread, cost),
      groups);
  // Each anchor extends by its later siblings only, so the ranges find disjoint itemsets,
  // in lexicographic order, and their results simply join.
  std::vector<BitsetMemo> parts;
  parts.reserve(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) parts.emplace_back(in.k, out_words);
  tbb::parallel_for(std::size_t{0}, ranges.size(), [&](std::size_t c) {
    BitsetScratch scratch(memo.words());
    for (std::size_t r = ranges[c].begin; r < ranges[c].end; ++r) {
      throw_if_cancelled();
      extend_anchor(in, memo, items, style, groups, r, parts[c], scratch);
      spend_group_ending_at(spent, groups, r);
    }
  });
  throw_if_cancelled();
  return join_parts(parts, in.k, out_words);
}

TopLevels count_top_levels_on_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                      const ItemBits& items, BitsetMemoStyle style,
                                      std::size_t top_k, SpentSets* spent) {
  return count_top_levels<BitsetScratch>(
      memo, in.k, top_k, spent, [&] { return BitsetScratch(memo.words()); },
      [&](const BitsetMemo& from, const MemoSiblings& groups, std::size_t i, BitsetMemo& out,
          BitsetScratch& scratch) {
        extend_anchor(in, from, items, style, groups, i, out, scratch);
      });
}

}  // namespace tallyfold
