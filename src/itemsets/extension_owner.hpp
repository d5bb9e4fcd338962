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

#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"
#include "itemsets/count_k_itemsets.hpp"

namespace tallyfold {

class ExtensionOwners {
 public:
  // `anchors`: the frequent (k-1)-itemsets; `pairs` empty: no pair check.
  ExtensionOwners(const ItemsetTable& anchors, const PairSet& pairs)
      : pairs_(pairs), anchors_(anchors) {}

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
    rest.resize(candidate.size() - 1);
    for (std::size_t i = 0, r = 0; i < candidate.size(); ++i)
      if (i != j) rest[r++] = candidate[i];
    return anchors_.contains(rest);
  }

  const PairSet& pairs_;
  TableRowIndex anchors_;
};

// The owners of a level's extensions; none with prefix anchors, which own all they find.
inline std::optional<ExtensionOwners> extension_owners(const LevelInput& in) {
  if (in.prefix_anchors_only) return std::nullopt;
  return std::optional<ExtensionOwners>(std::in_place, in.frequent, in.pairs);
}

}  // namespace tallyfold
