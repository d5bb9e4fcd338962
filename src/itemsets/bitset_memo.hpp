#pragma once
// The gating counter's form for dense data without a cap: every frequent itemset carries
// its transactions as a fixed-width bitset, and a candidate's count is a popcount of an
// intersection. Without a cap a transaction holding the anchor and the new item is exactly
// one the anchor-and-extend count would see, so the counts are the same; no transaction is
// walked.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/bitset_kernels.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "common/inverted_index.hpp"
#include "common/itemset_table.hpp"
#include "itemsets/memo_extend.hpp"

namespace tallyfold {

class SpentSets;

// Itemsets of one level (distinct, back to back) with counts and transaction bitsets. The
// bitsets live in large blocks that never move, so partial levels found by different
// workers join by handing over blocks, without copying a bitset, and a block is freed as soon
// as every set in it is spent (see SpentSets).
class BitsetMemo {
 public:
  BitsetMemo(std::size_t width, std::size_t words) : width_(width), words_(words) {}

  std::size_t width() const { return width_; }
  std::size_t words() const { return words_; }
  std::size_t size() const { return counts_.size(); }
  bool empty() const { return counts_.empty(); }
  std::span<const std::uint32_t> row(std::size_t r) const {
    return {items_.data() + r * width_, width_};
  }
  std::uint32_t count(std::size_t r) const { return counts_[r]; }
  const std::uint64_t* bits(std::size_t r) const { return words_ == 0 ? nullptr : bits_[r]; }

  // Room for the next row's bitset; commit() keeps it with its row, or the next call to
  // scratch_bits() reuses it. A memo of zero words keeps counts only (the top level of a
  // pipeline, whose sets nothing reads): it has no room, and scratch_bits() gives null.
  std::uint64_t* scratch_bits();
  void commit(std::span<const std::uint32_t> itemset, std::uint32_t count);
  // The same, keeping only the first `used_words` words of the room (a set stored in a
  // shorter form than a bitset); with 0 the row has no set (bits() gives null).
  void commit(std::span<const std::uint32_t> itemset, std::uint32_t count, std::size_t used_words);

  // Takes back the set of the row committed last, whose room the next row then reuses; the
  // row stays, without a set. For sets nothing will read: an anchor's extensions make one
  // group of siblings at the next level, and the last of a group is never extended.
  void drop_last_set();

  // Appends every row of `other` (which must hold other itemsets) and takes its blocks.
  void absorb(BitsetMemo&& other);

  // Room for `rows` rows in all, so that joining parts copies each row once.
  void reserve(std::size_t rows);

  // Forgets every row; the first block stays for the next rows, so a memo refilled many times
  // (one anchor's extensions after another) allocates once.
  void clear();

  // Row numbers in ascending lexicographic order of their itemsets.
  std::vector<std::uint32_t> sorted_rows() const;

  // The itemsets and counts as a read-only table; the memo is spent.
  ItemsetTable take_itemsets();

 private:
  friend class SpentSets;
  static constexpr std::uint32_t kNoBlock = 0xFFFFFFFFu;

  std::size_t width_, words_;
  std::vector<std::uint32_t> items_;
  std::vector<std::uint32_t> counts_;
  // Per row (none in a memo of counts only): its set or null, and the set's block or kNoBlock.
  std::vector<const std::uint64_t*> bits_;
  std::vector<std::uint32_t> block_of_;
  std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;  // null once freed
  std::uint32_t current_ = kNoBlock;     // the block scratch_bits() fills
  std::size_t block_used_ = 0, block_words_ = 0;
  std::size_t last_offset_ = 0, last_used_ = 0;  // where the last committed set lies
};

// Frees a memo's sets as a level's count is done with them: a counter declares a row spent
// once nothing will read its set again, and the block holding it is freed when its last set
// is spent. A level then lets go of the previous level's sets while it makes its own, so a
// call holds about the larger of two consecutive levels instead of both. spend() may run on
// several threads at once for distinct rows; the memo must not gain rows meanwhile.
class SpentSets {
 public:
  explicit SpentSets(BitsetMemo& memo);
  void spend(std::size_t row);

 private:
  BitsetMemo& memo_;
  std::unique_ptr<std::atomic<std::uint32_t>[]> pending_;  // per block, sets not yet spent
};

// The bitset of each item that occurs in a frequent pair (others are never needed).
struct ItemBits {
  std::size_t words = 0;
  std::vector<std::uint32_t> slot;  // item id -> index into bits, or kNone
  std::vector<std::uint64_t> bits;
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  const std::uint64_t* of(std::uint32_t item) const { return bits.data() + slot[item] * words; }
  static ItemBits from_pairs(const InvertedIndex& index, const ItemsetTable& pairs);
};

// The members of a memo, sorted, cut into groups that share all but their last item.
// Without a cap every subset of a frequent itemset is in the previous level, so the anchor
// A = P + y extends to P + y + x only if P + x is there too: its candidates are the later
// members of its own group.
struct MemoSiblings {
  std::vector<std::uint32_t> order;      // memo rows in lexicographic order
  std::vector<std::uint32_t> group_end;  // per sorted position, end of its group
};
MemoSiblings memo_siblings(const BitsetMemo& memo);

// The parts' rows one after another (each part's rows in order), the parts' blocks taken over.
BitsetMemo join_parts(std::vector<BitsetMemo>& parts, std::size_t width, std::size_t words);

// `ranges` with each boundary moved forward to the start of a group, so that a group's
// anchors, which read one another's sets, all fall in one range (empty ranges dropped).
std::vector<IndexRange> whole_groups(const std::vector<IndexRange>& ranges,
                                     const MemoSiblings& groups);

// Declares every set of a group spent once its anchor at sorted position i, the group's last
// member, has been extended (its siblings read only sets of their own group); no-op without
// `spent`.
void spend_group_ending_at(SpentSets* spent, const MemoSiblings& groups, std::size_t i);
// The same for the first `n` rows of a memo that holds one group, in order (the extensions
// of one anchor); reuses the vectors of `out`.
void one_group_siblings(std::size_t n, MemoSiblings& out);

BitsetMemo build_pair_bitsets(const ItemsetTable& pairs, const ItemBits& items);

// The frequent k-itemsets; `in` must carry no cap and a min count of at least 1. Without
// `keep_sets` the new memo holds counts only (for a level nothing extends). With `spent`
// (made over `memo`) each group's sets are freed as soon as its anchors are done. With `items`
// (the bitsets of the memo's items) the last of each group keeps no set either; a memo made
// with them must be counted with them.
BitsetMemo count_k_itemsets_v6_gating_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                              bool keep_sets = true, SpentSets* spent = nullptr,
                                              const ItemBits* items = nullptr);

// The two top levels of a pipeline, counts only: levels top_k - 1 and top_k; or, where a
// level below them is empty, that level (empty) as `lower` and nothing above it.
struct TopLevels {
  BitsetMemo lower, top;
};
// Levels k (`in.k`) up to `top_k` (at least k + 1) at once from the memo of level k - 1
// (same contract as above), depth first: each anchor's extensions are made with their sets
// and at once extended among themselves, so no level's sets are all held together.
TopLevels count_top_levels_v6_gating_bitsets(const MemoLevelInput& in, const BitsetMemo& memo,
                                             std::size_t top_k, SpentSets* spent = nullptr,
                                             const ItemBits* items = nullptr);

// The level a memo of either kind holds, for level loops written once over both kinds.
template <class Tids>
bool level_empty(const Memo<Tids>& memo) { return memo.itemsets.empty(); }
inline bool level_empty(const BitsetMemo& memo) { return memo.empty(); }
template <class Tids>
ItemsetTable take_level(Memo<Tids>& memo) { return std::move(memo.itemsets); }
inline ItemsetTable take_level(BitsetMemo& memo) { return memo.take_itemsets(); }

}  // namespace tallyfold
