#pragma once
// A table of counts of the pairs (i, j), i < j < side, held above its diagonal only: row i
// holds columns i + 1 .. side - 1, the rows back to back. Half the cells of a square.

#include <cstddef>

namespace tallyfold {

inline std::size_t triangle_cells(std::size_t side) { return side < 2 ? 0 : side * (side - 1) / 2; }

// Cell (i, j), j > i, is triangle_row_offset(side, i) + j: the column is added to the row's
// offset as it is, so a loop over a row's columns adds one index. For row 0 the offset itself
// wraps below zero (unsigned), which the column then brings back.
inline std::size_t triangle_row_offset(std::size_t side, std::size_t i) {
  return i * side - i * (i + 1) / 2 - (i + 1);
}

}  // namespace tallyfold
