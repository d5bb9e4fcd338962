#pragma once
// Item numbers inside an engine versus the caller's item ids. When the ids present are a
// small part of their range (ids 0 and 2^31 - 1 in two rows), the engines count on dense
// numbers 0..d-1 instead, so per-item tables cost memory for the items that occur, not for
// the id space. The numbering keeps the order of ids: itemsets sorted by number are sorted
// by id, ties broken by ascending number are broken by ascending id, and results translate
// back row by row without reordering.

#include <cstdint>
#include <span>
#include <vector>

namespace tallyfold {

class ItemNumbering {
 public:
  // Numbers are the caller's ids.
  ItemNumbering() = default;

  // Chooses the numbering for `items` (the caller's ids, one per row, all below `item_end`)
  // and rewrites them to numbers in place. Returns the numbering; `*item_space` receives the
  // number of item numbers in use (every number is below it).
  static ItemNumbering number_items(std::span<std::uint32_t> items, std::uint64_t item_end,
                                    std::uint32_t* item_space);

  // Numbers 0..d-1 for the d ascending, distinct ids given. (No ids: the identity.)
  static ItemNumbering from_caller_ids(std::vector<std::uint32_t> ascending) {
    ItemNumbering numbering;
    numbering.caller_ids_ = std::move(ascending);
    return numbering;
  }

  bool is_identity() const { return caller_ids_.empty(); }

  std::uint32_t caller_id(std::uint32_t number) const {
    return is_identity() ? number : caller_ids_[number];
  }

  // The number of `caller_id`, or `absent` when that id occurs in no row (never for the
  // identity numbering).
  std::uint32_t number_of(std::uint32_t caller_id, std::uint32_t absent) const;

  // Rewrites item numbers to caller ids in place.
  void to_caller_ids(std::span<std::uint32_t> values) const {
    if (is_identity()) return;
    for (std::uint32_t& v : values) v = caller_ids_[v];
  }

 private:
  std::vector<std::uint32_t> caller_ids_;  // ascending: the caller id of each number
};

}  // namespace tallyfold
