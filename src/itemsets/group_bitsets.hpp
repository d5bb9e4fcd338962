#pragma once
// A group of sibling pairs held as bitsets, for the memo counters' depth-first walk where the
// group is dense enough: the prefix item's transactions that hold two or more of the
// siblings are numbered in order (the group's rows), and each sibling gets a bitset over
// them, the set of its pair. An extension of a member by a later one is then counted by one
// AND-popcount of their bitsets instead of a walk over the member's rows, and the AND is the
// extension's own set: the member's set intersected with the item's, as the walk would list
// it. On Groceries a walked set's rows hold a few siblings each, so a walk reads several
// items per transaction where a bitset word covers 64.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/uninit_vector.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

class GroupBitsets {
 public:
  explicit GroupBitsets(std::uint32_t item_space) : slot_(item_space, 0) {}

  // Whether the anchors from `from` on of the group of `prefix_count` transactions, whose
  // pairs' counts are `counts`, are cheaper to extend by ANDs than by walking their sets, and
  // their bitsets small enough to hold beside the lists they replace.
  static bool pay_off(std::uint32_t prefix_count, std::span<const std::uint32_t> counts,
                      std::size_t from);

  // The bitsets of every sibling (ascending items), from the prefix item's transactions in
  // the index and their items in `reduced`.
  void build(const InvertedIndex& index, const ReducedTransactions& reduced, std::uint32_t prefix,
             std::span<const std::uint32_t> siblings);

  std::size_t words() const { return words_; }
  // Sibling j's bitset, `words()` words.
  const std::uint64_t* of(std::size_t j) const { return bits_.data() + j * words_; }

 private:
  std::vector<std::uint32_t> slot_;  // by item: sibling index + 1, 0 for others
  UninitVector<std::uint32_t> row_slots_;  // one row's sibling slots
  std::size_t words_ = 0;
  UninitVector<std::uint64_t> bits_;
};

}  // namespace tallyfold
