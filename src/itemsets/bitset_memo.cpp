#include "itemsets/bitset_memo.hpp"

#include <algorithm>

namespace tallyfold {

std::uint64_t* BitsetMemo::scratch_bits() {
  if (words_ == 0) return nullptr;
  if (blocks_.empty() || block_used_ + words_ > block_words_) {
    block_words_ = std::max<std::size_t>(kBlockBytes / sizeof(std::uint64_t), words_);
    blocks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(block_words_));
    block_used_ = 0;
  }
  return blocks_.back().get() + block_used_;
}

void BitsetMemo::commit(std::span<const std::uint32_t> itemset, std::uint32_t count) {
  commit(itemset, count, words_);
}

void BitsetMemo::commit(std::span<const std::uint32_t> itemset, std::uint32_t count,
                        std::size_t used_words) {
  if (words_ == 0 || used_words == 0) {
    bits_.push_back(nullptr);
  } else {
    bits_.push_back(blocks_.back().get() + block_used_);
    last_used_ = std::min(used_words, words_);
    last_blocks_ = blocks_.size();
    block_used_ += last_used_;
  }
  items_.insert(items_.end(), itemset.begin(), itemset.end());
  counts_.push_back(count);
}

void BitsetMemo::absorb(BitsetMemo&& other) {
  if (other.empty()) return;
  items_.insert(items_.end(), other.items_.begin(), other.items_.end());
  counts_.insert(counts_.end(), other.counts_.begin(), other.counts_.end());
  bits_.insert(bits_.end(), other.bits_.begin(), other.bits_.end());
  // The current block stays last so that scratch_bits() keeps filling it.
  blocks_.insert(blocks_.begin(), std::make_move_iterator(other.blocks_.begin()),
                 std::make_move_iterator(other.blocks_.end()));
  other = BitsetMemo(width_, words_);
}

void BitsetMemo::clear() {
  items_.clear();
  counts_.clear();
  bits_.clear();
  if (blocks_.size() > 1) blocks_.erase(blocks_.begin() + 1, blocks_.end());
  block_used_ = 0;
  last_used_ = 0;
  last_blocks_ = 0;
}

void BitsetMemo::drop_last_set() {
  if (bits_.empty() || bits_.back() == nullptr) return;
  // A room taken from a newer block since then leaves the set where it is, unread.
  if (blocks_.size() == last_blocks_) block_used_ -= last_used_;
  bits_.back() = nullptr;
}

std::vector<std::uint32_t> BitsetMemo::sorted_rows() const {
  return lexicographic_order(items_.data(), width_, size());
}

ItemsetTable BitsetMemo::take_itemsets() {
  return ItemsetTable::from_distinct_rows(width_, std::move(items_), std::move(counts_));
}

}  // namespace tallyfold
