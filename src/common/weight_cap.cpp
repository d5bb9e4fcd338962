#include "common/weight_cap.hpp"

#include <algorithm>
#include <cmath>

namespace tallyfold {

std::vector<double> weights_by_number(CallerArray<double> weights, const ItemNumbering& numbering,
                                      std::uint32_t item_space) {
  std::vector<double> by_number(item_space, 0.0);
  for (std::uint32_t n = 0; n < item_space; ++n) {
    const std::uint32_t id = numbering.caller_id(n);
    if (id < weights.size()) by_number[n] = weights.load(id);
  }
  return by_number;
}

std::size_t cap_by_weight(std::uint32_t* items, std::size_t length, std::span<const double> weights,
                          std::uint64_t cap) {
  if (length <= cap) return length;
  auto heavier = [&](std::uint32_t x, std::uint32_t y) {
    return item_weight(weights, x) > item_weight(weights, y);
  };
  std::uint32_t* run = items;
  std::uint32_t* const end = items + length;
  for (std::uint32_t* it = items; it != end; ++it) {
    if (std::isnan(item_weight(weights, *it))) {
      std::stable_sort(run, it, heavier);
      run = it + 1;
    }
  }
  std::stable_sort(run, end, heavier);
  const auto kept = static_cast<std::size_t>(cap);
  std::sort(items, items + kept);
  return kept;
}

}  // namespace tallyfold
