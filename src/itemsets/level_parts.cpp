#include "itemsets/level_parts.hpp"

#include <algorithm>

#include "common/cancel.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

ItemsetTable join_level_parts(std::size_t width, std::vector<LevelPart>& parts) {
  if (parts.size() == 1)
    return ItemsetTable::from_distinct_rows(width, std::move(parts[0].items),
                                            std::move(parts[0].counts));
  std::size_t total = 0;
  for (LevelPart& part : parts) {
    drop_spare_capacity(part.items);
    drop_spare_capacity(part.counts);
    total += part.counts.size();
  }
  std::vector<std::uint32_t> items, counts;
  items.reserve(total * width);
  counts.reserve(total);
  for (LevelPart& part : parts) {
    throw_if_cancelled();
    items.insert(items.end(), part.items.begin(), part.items.end());
    counts.insert(counts.end(), part.counts.begin(), part.counts.end());
    part = LevelPart{};
  }
  return ItemsetTable::from_distinct_rows(width, std::move(items), std::move(counts));
}

ItemsetTable join_overlapping_parts(std::size_t width, std::vector<LevelPart>& parts) {
  // Sorted in place, a row met in several parts lies next to its copies.
  ItemsetTable joined = join_level_parts(width, parts).in_lexicographic_order();
  std::vector<std::uint32_t> items = joined.take_items(), counts = joined.take_counts();
  std::size_t kept = 0;
  for (std::size_t r = 0; r < counts.size(); ++r) {
    throw_if_cancelled_every(r);
    const auto row = items.begin() + static_cast<std::ptrdiff_t>(r * width);
    if (kept > 0 && std::equal(row, row + static_cast<std::ptrdiff_t>(width),
                               items.begin() + static_cast<std::ptrdiff_t>((kept - 1) * width)))
      continue;
    if (kept != r) {
      std::copy_n(row, width, items.begin() + static_cast<std::ptrdiff_t>(kept * width));
      counts[kept] = counts[r];
    }
    ++kept;
  }
  items.resize(kept * width);
  counts.resize(kept);
  return ItemsetTable::from_distinct_rows(width, std::move(items), std::move(counts));
}

}  // namespace tallyfold
