#pragma once
// The transactions of an itemset, built along itemsets visited in ascending lexicographic
// order: list j holds the transactions of the itemset's first j + 1 items, and consecutive
// itemsets share a prefix, so each list is built once per distinct prefix. Itemsets of any
// length up to the capacity may follow one another (a prefix, then its extensions).
//
// A list that the next item's is merged with is first marked in a bitset of one bit per
// transaction (once, however many itemsets extend it); the item's transactions are then kept
// by one branch-free bit test each instead of a merge of both lists. A list much shorter than
// the item's gallops through it instead.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "common/bitset_kernels.hpp"
#include "common/inverted_index.hpp"
#include "common/row_order.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

class PrefixLists {
 public:
  PrefixLists(const InvertedIndex& index, std::size_t capacity)
      : index_(index), lists_(capacity), marks_(capacity), marked_(capacity, 0) {}

  // The transactions of `itemset` (ascending items, 1..capacity of them), ascending. The
  // span stays valid until the next call.
  std::span<const std::uint32_t> build(std::span<const std::uint32_t> itemset) {
    const std::size_t width = itemset.size();
    const std::size_t depth = shared_prefix(previous_, itemset);
    for (std::size_t j = depth; j < width; ++j) {
      unmark(j);  // list j is about to change
      if (j == 0)
        first_ = index_.txns_of(itemset[0]);
      else
        intersect(j - 1, index_.txns_of(itemset[j]), lists_[j]);
    }
    previous_.assign(itemset.begin(), itemset.end());
    return list(width - 1);
  }

 private:
  std::span<const std::uint32_t> list(std::size_t j) const {
    return j == 0 ? first_ : std::span<const std::uint32_t>(lists_[j]);
  }

  void unmark(std::size_t j) {
    if (!marked_[j]) return;
    for (std::uint32_t t : list(j)) marks_[j][t >> 6] = 0;
    marked_[j] = 0;
  }

  // list(j) ∩ item into out, ascending.
  void intersect(std::size_t j, std::span<const std::uint32_t> item,
                 std::vector<std::uint32_t>& out) {
    const auto prefix = list(j);
    out.clear();
    if (prefix.size() * tuning::kGallopLengthRatio < item.size()) {
      auto from = item.begin();
      for (std::uint32_t t : prefix) {
        from = std::lower_bound(from, item.end(), t);
        if (from == item.end()) return;
        if (*from == t) out.push_back(t);
      }
      return;
    }
    std::vector<std::uint64_t>& marks = marks_[j];
    if (!marked_[j]) {
      if (marks.empty()) marks.assign(bitset_words(index_.n_transactions), 0);
      for (std::uint32_t t : prefix) marks[t >> 6] |= std::uint64_t{1} << (t & 63);
      marked_[j] = 1;
    }
    out.resize(item.size());
    std::size_t kept = 0;
    for (std::uint32_t t : item) {
      out[kept] = t;
      kept += (marks[t >> 6] >> (t & 63)) & 1u;
    }
    out.resize(kept);
  }

  const InvertedIndex& index_;
  std::span<const std::uint32_t> first_;
  std::vector<std::vector<std::uint32_t>> lists_;  // by depth; lists_[0] unused (first_)
  std::vector<std::vector<std::uint64_t>> marks_;  // by depth of the list they mark
  std::vector<std::uint8_t> marked_;
  std::vector<std::uint32_t> previous_;
};

}  // namespace tallyfold
