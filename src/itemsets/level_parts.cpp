#include "itemsets/level_parts.hpp"

#include "common/cancel.hpp"

namespace tallyfold {

ItemsetTable join_level_parts(std::size_t width, std::vector<LevelPart>& parts) {
  if (parts.size() == 1)
    return ItemsetTable::from_distinct_rows(width, std::move(parts[0].items),
                                            std::move(parts[0].counts));
  std::size_t total = 0;
  for (const LevelPart& part : parts) total += part.counts.size();
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

}  // namespace tallyfold
