#include "common/item_numbering.hpp"

#include <algorithm>

#include "common/tuning.hpp"

namespace tallyfold {

ItemNumbering ItemNumbering::number_items(std::span<std::uint32_t> items,
                                          std::uint64_t item_end, std::uint32_t* item_space) {
  ItemNumbering numbering;
  if (item_end <= 2 * static_cast<std::uint64_t>(items.size()) + tuning::kSparseItemSpaceSlack) {
    *item_space = static_cast<std::uint32_t>(item_end);
    return numbering;
  }
  std::vector<std::uint32_t> present(items.begin(), items.end());
  std::sort(present.begin(), present.end());
  present.erase(std::unique(present.begin(), present.end()), present.end());
  present.shrink_to_fit();
  for (std::uint32_t& item : items)
    item = static_cast<std::uint32_t>(std::lower_bound(present.begin(), present.end(), item) -
                                      present.begin());
  *item_space = static_cast<std::uint32_t>(present.size());
  numbering.caller_ids_ = std::move(present);
  return numbering;
}

std::uint32_t ItemNumbering::number_of(std::uint32_t caller_id, std::uint32_t absent) const {
  if (is_identity()) return caller_id;
  auto it = std::lower_bound(caller_ids_.begin(), caller_ids_.end(), caller_id);
  if (it == caller_ids_.end() || *it != caller_id) return absent;
  return static_cast<std::uint32_t>(it - caller_ids_.begin());
}

}  // namespace tallyfold
