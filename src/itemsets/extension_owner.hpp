#pragma once
// A k-itemset reached from several of its anchors has the same count from each, so exactly one
// of them keeps it: among the anchors that reach it (a (k-1)-subset that is a known anchor and
// whose pairs with the omitted item hold), the one that omits the item at the largest
// position. Workers then never find the same row twice and keep what they find in plain
// arrays, with no hash of their rows to search.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"
#include "common/row_order.hpp"
#include "itemsets/count_k_itemsets.hpp"
#include "itemsets/extension_masks.hpp"

namespace tallyfold {

class ExtensionOwners {
 public:
  // `anchors`: the frequent (k-1)-itemsets, of items below `item_space` where they can occur;
  // `pairs` empty: no pair check.
  ExtensionOwners(const ItemsetTable& anchors, const PairSet& pairs, std::uint32_t item_space);

  // Whether the anchor that omits candidate[position], which reaches the candidate, keeps it:
  // no anchor omitting a later item reaches it too. `rest` is scratch space.
  bool keeps(std::span<const std::uint32_t> candidate, std::size_t position,
             std::vector<std::uint32_t>& rest) const {
    for (std::size_t j = candidate.size(); --j > position;)
      if (reaches(candidate, j, rest)) return false;
    return true;
  }

 private:
  // The anchor omitting candidate[j] reaches the candidate: the omitted item's pairs with the
  // others hold (checked first: a bit lookup each) and the others are a known anchor.
  bool reaches(std::span<const std::uint32_t> candidate, std::size_t j,
               std::vector<std::uint32_t>& rest) const {
    if (!pairs_.empty())
      for (std::size_t i = 0; i < candidate.size(); ++i)
        if (i != j && !pairs_.contains(candidate[i], candidate[j])) return false;
    if (item_bits_ > 0) return packed_.contains(packed_row(candidate, item_bits_, j));
    rest.resize(candidate.size() - 1);
    for (std::size_t i = 0, r = 0; i < candidate.size(); ++i)
      if (i != j) rest[r++] = candidate[i];
    return rows_->contains(rest);
  }

  const PairSet& pairs_;
  // Anchors whose items fit in one word are found by that word (no row to read); others
  // through an index of their rows.
  unsigned item_bits_ = 0;
  absl::flat_hash_set<std::uint64_t> packed_;
  std::optional<TableRowIndex> rows_;
};

// How a level's anchors tell the extensions they own: by masks over the level's items when
// they are few enough, otherwise candidate by candidate. Neither with prefix anchors, which
// own all they find.
struct ExtensionOwnership {
  std::optional<ExtensionMasks> masks;
  std::optional<ExtensionOwners> owners;
};

// `rows`: the frequent rows that can occur, sorted; `items`: the level's items, ascending.
ExtensionOwnership extension_ownership(const LevelInput& in, std::span<const std::uint32_t> rows,
                                       std::span<const std::uint32_t> items,
                                       std::size_t budget_bytes);

}  // namespace tallyfold
