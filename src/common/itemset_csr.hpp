#pragma once
// Itemsets of any lengths stored back to back: row r is items[offsets[r] .. offsets[r + 1]),
// ascending ids, one count per row. This is the layout handed to Python as three arrays, so
// the engines fill it directly and the boundary adopts the buffers without a copy.

#include <cstdint>
#include <span>
#include <vector>

#include "common/uninit_vector.hpp"

namespace tallyfold {

// Sizing leaves entries unwritten: a result is filled in full right after, and untouched
// pages cost no memory until then.
struct ItemsetCsr {
  UninitVector<std::uint32_t> items;
  UninitVector<std::int64_t> offsets{0};  // rows + 1 entries, first is 0
  UninitVector<std::int64_t> counts;

  std::size_t size() const { return counts.size(); }
  std::span<const std::uint32_t> row(std::size_t r) const {
    return {items.data() + offsets[r], static_cast<std::size_t>(offsets[r + 1] - offsets[r])};
  }
  void append(std::span<const std::uint32_t> itemset, std::int64_t count) {
    items.insert(items.end(), itemset.begin(), itemset.end());
    offsets.push_back(static_cast<std::int64_t>(items.size()));
    counts.push_back(count);
  }
};

// A borrowed view of the same layout (rows from the caller's arrays).
struct ItemsetCsrView {
  std::span<const std::uint32_t> items;
  std::span<const std::int64_t> offsets;  // rows + 1 entries

  std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::span<const std::uint32_t> row(std::size_t r) const {
    return {items.data() + offsets[r], static_cast<std::size_t>(offsets[r + 1] - offsets[r])};
  }
};

}  // namespace tallyfold
