#pragma once
// The transactions of an itemset as PrefixLists gives them, from fixed-width transaction
// bitsets: each depth's set is the one above ANDed with the next item's bitset, and the last
// is decoded into a list. With few transactions an AND of N/64 words costs less than walking
// a common item's list, which is what an intersection of lists pays.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/bitset_kernels.hpp"
#include "common/inverted_index.hpp"
#include "common/row_order.hpp"

namespace tallyfold {

// The transaction bitsets of the flagged items, shared read-only by the workers. They cover
// only the transactions that hold at least `min_items` flagged items (the only ones a row of
// the level can come from), numbered densely in id order: on sparse data a bitset is then a
// fraction of the index's transactions wide, and the ANDs as much shorter.
class ItemBitsets {
 public:
  // None when the data have too many transactions for bitsets, when the bitsets would take
  // more than `budget_bytes`, or when the flagged items' lists are too short on average for
  // an AND to beat walking them.
  static std::optional<ItemBitsets> build(const InvertedIndex& index,
                                          const std::vector<std::uint8_t>& flags,
                                          std::size_t min_items, std::size_t budget_bytes);
  std::size_t words() const { return words_; }
  const std::uint64_t* of(std::uint32_t item) const {
    return bits_.data() + std::size_t{slot_[item]} * words_;
  }
  // Whether every transaction is covered, so that bit numbers are transaction ids.
  bool numbers_are_ids() const { return transaction_of_.empty(); }
  // The id of the transaction of bit `number`.
  std::uint32_t transaction(std::uint32_t number) const { return transaction_of_[number]; }

 private:
  ItemBitsets() = default;
  std::size_t words_ = 0;
  std::vector<std::uint32_t> slot_;  // by item id; only flagged items have one
  std::vector<std::uint64_t> bits_;
  std::vector<std::uint16_t> transaction_of_;  // by bit number; empty when they are the same
};

class BitsetPrefixLists {
 public:
  BitsetPrefixLists(const InvertedIndex& index, const ItemBitsets& bits, std::size_t capacity)
      : index_(index), bits_(bits), stack_(capacity * bits.words()), lists_(capacity),
        listed_(capacity, false) {}

  // The transactions of `itemset` (ascending flagged items, 1..capacity of them), ascending.
  // The span stays valid until the next call. A depth whose transactions are fewer than the
  // words of a bitset is kept as their list instead, and the depths under it test each
  // listed transaction's bit in the next item's bitset rather than ANDing every word.
  std::span<const std::uint32_t> build(std::span<const std::uint32_t> itemset) {
    const std::size_t width = itemset.size(), words = bits_.words();
    if (width == 1) return index_.txns_of(itemset[0]);  // the depths above stay as they are
    const std::size_t depth = shared_prefix(previous_, itemset);
    for (std::size_t j = std::max<std::size_t>(depth, 1); j < width; ++j) {
      const std::uint64_t* next = bits_.of(itemset[j]);
      if (j > 1 && listed_[j - 1]) {
        const std::vector<std::uint32_t>& above = lists_[j - 1];
        std::vector<std::uint32_t>& list = lists_[j];
        list.resize(above.size());
        list.resize(keep_listed_bits(above, next, list.data()));
        listed_[j] = true;
        continue;
      }
      const std::uint32_t count =
          and_into(j == 1 ? bits_.of(itemset[0]) : at(j - 1), next, at(j), words);
      listed_[j] = sparse(count);
      if (listed_[j]) list_bits(at(j), words, lists_[j]);
    }
    previous_.assign(itemset.begin(), itemset.end());
    // The depths' lists stay in bit numbers for the next itemset; what is returned are ids.
    if (listed_[width - 1]) {
      if (bits_.numbers_are_ids()) return lists_[width - 1];
      found_.assign(lists_[width - 1].begin(), lists_[width - 1].end());
    } else {
      list_bits(at(width - 1), words, found_);
      if (bits_.numbers_are_ids()) return found_;
    }
    for (std::uint32_t& t : found_) t = bits_.transaction(t);
    return found_;
  }

 private:
  bool sparse(std::size_t transactions) const { return transactions < bits_.words(); }
  std::uint64_t* at(std::size_t depth) { return stack_.data() + depth * bits_.words(); }
  const InvertedIndex& index_;
  const ItemBitsets& bits_;
  std::vector<std::uint64_t> stack_;  // by depth; depth 0 is the first item's own bitset
  // By depth: the list of a sparse depth, or of the last one decoded; whether it is listed.
  std::vector<std::vector<std::uint32_t>> lists_;
  std::vector<bool> listed_;
  std::vector<std::uint32_t> previous_;
  std::vector<std::uint32_t> found_;  // the last itemset's transactions, as ids
};

}  // namespace tallyfold
