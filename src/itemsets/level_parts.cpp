#include "itemsets/level_parts.hpp"

#include <algorithm>

#include <tbb/parallel_for.h>

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

ItemsetTable join_parts_in_order(std::size_t width, std::vector<LevelPart>& parts) {
  tbb::parallel_for(std::size_t{0}, parts.size(), [&](std::size_t p) {
    ItemsetTable sorted = ItemsetTable::from_distinct_rows(width, std::move(parts[p].items),
                                                           std::move(parts[p].counts))
                              .in_lexicographic_order();
    parts[p] = LevelPart{sorted.take_items(), sorted.take_counts()};
  });
  throw_if_cancelled();
  if (parts.size() == 1 || width == 0) return join_level_parts(width, parts);
  std::size_t total = 0;
  for (const LevelPart& part : parts) total += part.counts.size();
  std::vector<std::uint32_t> items, counts;
  items.reserve(total * width);
  counts.reserve(total);
  std::vector<std::size_t> next(parts.size(), 0);  // each part's first row not yet taken
  for (std::size_t taken = 0; taken < total; ++taken) {
    throw_if_cancelled_every(taken);
    std::size_t best = parts.size();
    const std::uint32_t* best_row = nullptr;
    for (std::size_t p = 0; p < parts.size(); ++p) {
      if (next[p] == parts[p].counts.size()) continue;
      const std::uint32_t* row = parts[p].items.data() + next[p] * width;
      if (best_row == nullptr || std::lexicographical_compare(row, row + width, best_row, best_row + width)) {
        best = p;
        best_row = row;
      }
    }
    items.insert(items.end(), best_row, best_row + width);
    counts.push_back(parts[best].counts[next[best]]);
    if (++next[best] == parts[best].counts.size()) {  // a spent part goes at once
      parts[best] = LevelPart{};
      next[best] = 0;
    }
  }
  return ItemsetTable::from_distinct_rows(width, std::move(items), std::move(counts));
}

}  // namespace tallyfold
