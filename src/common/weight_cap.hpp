#pragma once
// The per-transaction cap: keep the `cap` heaviest items, ties by ascending id.

#include <cstdint>
#include <span>
#include <vector>

#include "common/caller_array.hpp"
#include "common/item_numbering.hpp"

namespace tallyfold {

// Weight of an item: its entry in `weights`, or 0.0 beyond the end.
inline double item_weight(std::span<const double> weights, std::uint32_t item) {
  return item < weights.size() ? weights[item] : 0.0;
}

// The weight of every item number below `item_space`, each loaded once from the caller's
// `weights` (indexed by caller id; 0.0 beyond its end), so the cap's sorts compare values
// that cannot change under them.
std::vector<double> weights_by_number(CallerArray<double> weights, const ItemNumbering& numbering,
                                      std::uint32_t item_space);

// `items` is ascending. When it holds more than `cap` items it is reordered heaviest first
// (stable, so equal weights keep ascending ids), cut to `cap` items and sorted ascending
// again; returns the new length. A comparison that involves NaN keeps the current order:
// a NaN-weighted item stays where it is and no item moves past it, so the order is a
// well-defined function of the input (each NaN-free run is sorted on its own).
std::size_t cap_by_weight(std::uint32_t* items, std::size_t length, std::span<const double> weights,
                          std::uint64_t cap);

}  // namespace tallyfold
