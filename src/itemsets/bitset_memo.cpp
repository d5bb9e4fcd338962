#include "itemsets/bitset_memo.hpp"

#include <algorithm>

namespace tallyfold {

std::uint64_t* BitsetMemo::scratch_bits() {
  if (words_ == 0) return nullptr;
  if (current_ == kNoBlock || block_used_ + words_ > block_words_) {
    // Blocks double from a small first one, so a part that finds few sets (one of many on
    // the pool, or a small level) holds little room it does not use.
    constexpr std::size_t kFirst = tuning::kMemoFirstBlockBytes / sizeof(std::uint64_t);
    constexpr std::size_t kLargest = tuning::kMemoBlockBytes / sizeof(std::uint64_t);
    block_words_ = std::max(words_, blocks_.empty() ? kFirst : std::min(kLargest, 2 * block_words_));
    blocks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(block_words_));
    current_ = static_cast<std::uint32_t>(blocks_.size() - 1);
    block_used_ = 0;
  }
  return blocks_[current_].get() + block_used_;
}

void BitsetMemo::commit(std::span<const std::uint32_t> itemset, std::uint32_t count) {
  commit(itemset, count, words_);
}

void BitsetMemo::commit(std::span<const std::uint32_t> itemset, std::uint32_t count,
                        std::size_t used_words) {
  if (words_ == 0) {
    // Counts only: no set to point at.
  } else if (used_words == 0) {
    bits_.push_back(nullptr);
    block_of_.push_back(kNoBlock);
  } else {
    bits_.push_back(blocks_[current_].get() + block_used_);
    block_of_.push_back(current_);
    last_offset_ = block_used_;
    last_used_ = std::min(used_words, words_);
    block_used_ += last_used_;
  }
  items_.insert(items_.end(), itemset.begin(), itemset.end());
  counts_.push_back(count);
}

void BitsetMemo::absorb(BitsetMemo&& other) {
  if (other.empty()) return;
  const auto offset = static_cast<std::uint32_t>(blocks_.size());
  items_.insert(items_.end(), other.items_.begin(), other.items_.end());
  counts_.insert(counts_.end(), other.counts_.begin(), other.counts_.end());
  bits_.insert(bits_.end(), other.bits_.begin(), other.bits_.end());
  for (std::uint32_t b : other.block_of_) block_of_.push_back(b == kNoBlock ? kNoBlock : b + offset);
  // Appended after the block being filled, which stays the one scratch_bits() fills.
  blocks_.insert(blocks_.end(), std::make_move_iterator(other.blocks_.begin()),
                 std::make_move_iterator(other.blocks_.end()));
  other = BitsetMemo(width_, words_);
}

void BitsetMemo::reserve(std::size_t rows) {
  items_.reserve(rows * width_);
  counts_.reserve(rows);
  if (words_ != 0) {
    bits_.reserve(rows);
    block_of_.reserve(rows);
  }
}

void BitsetMemo::clear() {
  items_.clear();
  counts_.clear();
  bits_.clear();
  block_of_.clear();
  if (current_ != kNoBlock) {
    std::unique_ptr<std::uint64_t[]> keep = std::move(blocks_[current_]);
    blocks_.clear();
    blocks_.push_back(std::move(keep));
    current_ = 0;
  } else {
    blocks_.clear();
  }
  block_used_ = 0;
}

void BitsetMemo::drop_last_set() {
  if (words_ == 0 || bits_.empty() || bits_.back() == nullptr) return;
  // A room taken from a newer block since then leaves the set where it is, unread.
  if (block_of_.back() == current_ && last_offset_ + last_used_ == block_used_)
    block_used_ = last_offset_;
  bits_.back() = nullptr;
  block_of_.back() = kNoBlock;
}

std::vector<std::uint32_t> BitsetMemo::sorted_rows() const {
  return lexicographic_order(items_.data(), width_, size());
}

ItemsetTable BitsetMemo::take_itemsets() {
  return ItemsetTable::from_distinct_rows(width_, std::move(items_), std::move(counts_));
}

SpentSets::SpentSets(BitsetMemo& memo)
    : memo_(memo), pending_(new std::atomic<std::uint32_t>[memo.blocks_.size()]) {
  // A memo of counts only has no blocks and no rows to spend.
  for (std::size_t b = 0; b < memo.blocks_.size(); ++b) pending_[b].store(0, std::memory_order_relaxed);
  for (std::uint32_t b : memo.block_of_)
    if (b != BitsetMemo::kNoBlock) pending_[b].fetch_add(1, std::memory_order_relaxed);
}

void SpentSets::spend(std::size_t row) {
  if (memo_.words_ == 0) return;
  const std::uint32_t b = memo_.block_of_[row];
  if (b == BitsetMemo::kNoBlock) return;
  memo_.block_of_[row] = BitsetMemo::kNoBlock;
  memo_.bits_[row] = nullptr;
  // The last set of a block to go frees it; acq_rel orders the other threads' reads of
  // the block's sets before the free.
  if (pending_[b].fetch_sub(1, std::memory_order_acq_rel) == 1) memo_.blocks_[b].reset();
}

BitsetMemo join_parts(std::vector<BitsetMemo>& parts, std::size_t width, std::size_t words) {
  std::size_t rows = 0;
  for (const BitsetMemo& part : parts) rows += part.size();
  BitsetMemo joined(width, words);
  joined.reserve(rows);
  for (BitsetMemo& part : parts) joined.absorb(std::move(part));
  return joined;
}

std::vector<IndexRange> whole_groups(const std::vector<IndexRange>& ranges,
                                     const MemoSiblings& groups) {
  std::vector<IndexRange> out;
  std::size_t begin = 0;
  for (const IndexRange& r : ranges) {
    std::size_t end = r.end;
    if (end > 0 && end < groups.group_end.size()) end = std::max<std::size_t>(end, groups.group_end[end - 1]);
    if (end > begin) out.push_back({begin, end});
    begin = std::max(begin, end);
  }
  return out;
}

void spend_group_ending_at(SpentSets* spent, const MemoSiblings& groups, std::size_t i) {
  if (spent == nullptr || groups.group_end[i] != i + 1) return;
  std::size_t first = i;
  while (first > 0 && groups.group_end[first - 1] == i + 1) --first;
  for (std::size_t p = first; p <= i; ++p) spent->spend(groups.order[p]);
}

}  // namespace tallyfold
