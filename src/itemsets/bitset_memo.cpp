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
    block_used_ += std::min(used_words, words_);
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

void ExtensionHold::keep(BitsetMemo& out, std::span<const std::uint32_t> itemset,
                         std::uint32_t count, std::size_t used_words) {
  if (held_ == 0) {
    first_.assign(itemset.begin(), itemset.end());
    first_count_ = count;
    first_used_ = used_words;
    held_ = 1;
    return;
  }
  if (held_ == 1) {
    // The second extension sits in the room the first must take: it moves up one.
    std::copy_n(out.scratch_bits(), used_words, spare_.data());
    std::copy_n(first_bits_.data(), first_used_, out.scratch_bits());
    out.commit(first_, first_count_, first_used_);
    std::copy_n(spare_.data(), used_words, out.scratch_bits());
    held_ = 2;
  }
  out.commit(itemset, count, used_words);
}

void ExtensionHold::finish(BitsetMemo& out) {
  if (held_ == 1) out.commit(first_, first_count_, 0);
  held_ = 0;
}

std::vector<std::uint32_t> BitsetMemo::sorted_rows() const {
  return lexicographic_order(items_.data(), width_, size());
}

ItemsetTable BitsetMemo::take_itemsets() {
  return ItemsetTable::from_distinct_rows(width_, std::move(items_), std::move(counts_));
}

}  // namespace tallyfold
