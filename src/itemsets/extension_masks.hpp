#pragma once
// The candidates an anchor extends to and owns, found with word operations over the level's
// items (numbered by rank) instead of lookups per candidate; for dense levels, whose items
// are few. An anchor extends to x when x pairs with each of its items. The anchor A omitting
// item x' = C[j] of C = A + x keeps C unless an anchor omitting a later item also reaches C
// (see ExtensionOwners): for the anchor's item a_m after x, that is the rest Q_m = A - a_m,
// which needs Q_m + x to be an anchor, a_m to pair with x and a_m to pair with Q_m. Per
// anchor and m that is one mask, blocked_m = (items y with Q_m + y an anchor) & (items
// pairing with a_m), or empty when a_m does not pair with all of Q_m; a candidate x placed
// before a_p is owned when x is in no blocked_m for m >= p.

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"
#include "common/row_order.hpp"

namespace tallyfold {

class ExtensionMasks {
 public:
  // `rows`: the anchors that can occur (strictly ascending rows of `anchors`, items in
  // `items`); `items`: the level's items, ascending; `pairs` empty: every pair holds. None when
  // a rest does not pack into one word or the masks would take more than `budget_bytes`.
  static std::optional<ExtensionMasks> build(const ItemsetTable& anchors,
                                             std::span<const std::uint32_t> rows,
                                             std::span<const std::uint32_t> items,
                                             std::uint32_t item_space, const PairSet& pairs,
                                             std::size_t budget_bytes);

  // One worker's masks for the anchor at hand.
  class Anchor {
   public:
    Anchor(const ExtensionMasks& masks, std::size_t width)
        : masks_(masks), words_(masks.words_), owned_(words_), blocked_((width + 1) * words_) {}

    // Makes `anchor` the anchor at hand.
    void load(std::span<const std::uint32_t> anchor);

    // Whether the anchor at hand extends to `item` and owns the extension.
    bool owns(std::uint32_t item) const {
      const std::uint32_t rank = masks_.rank_[item];
      return rank != kNoRank && test(owned_.data(), rank);
    }

    // Calls visit(x) for each item x, ascending, that the anchor at hand extends to and owns.
    template <class Visit>
    void each_owned(Visit&& visit) const {
      for (std::size_t w = 0; w < words_; ++w)
        for (std::uint64_t bits = owned_[w]; bits != 0; bits &= bits - 1)
          visit(masks_.items_[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
    }

   private:
    static bool test(const std::uint64_t* mask, std::uint32_t rank) {
      return (mask[rank >> 6] >> (rank & 63)) & 1;
    }
    const ExtensionMasks& masks_;
    std::size_t words_;
    std::vector<std::uint32_t> ranks_;  // the anchor's items' ranks
    std::vector<std::uint64_t> owned_;
    // Row p: the union of blocked_m for m >= p (row `width` is empty).
    std::vector<std::uint64_t> blocked_;
  };

 private:
  static constexpr std::uint32_t kNoRank = 0xFFFFFFFFu;
  ExtensionMasks() = default;
  const std::uint64_t* neighbors(std::uint32_t rank) const {
    return neighbors_.data() + std::size_t{rank} * words_;
  }
  // The items y (by rank) with rest + y an anchor, or null when there is none.
  const std::uint64_t* completions(std::uint64_t rest_key) const {
    auto it = completion_of_.find(rest_key);
    return it == completion_of_.end() ? nullptr : completions_.data() + std::size_t{it->second} * words_;
  }
  std::uint64_t rest_key(std::span<const std::uint32_t> anchor, std::size_t omit) const {
    return packed_row(anchor, item_bits_, omit);
  }

  std::size_t words_ = 0;
  unsigned item_bits_ = 0;
  std::vector<std::uint32_t> rank_;   // by item id; items outside the level have none
  std::vector<std::uint32_t> items_;  // by rank
  std::vector<std::uint64_t> neighbors_;  // rank-major: the ranks each item pairs with
  absl::flat_hash_map<std::uint64_t, std::uint32_t> completion_of_;  // rest key -> mask number
  std::vector<std::uint64_t> completions_;
};

}  // namespace tallyfold
