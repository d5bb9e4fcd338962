#pragma once
// Putting one transaction's items in order: ascending, each once. Rows arrive in any order
// from a DataFrame, and most are short, where a general sort spends its time on mispredicted
// branches.

#include <cstdint>

namespace tallyfold {

// Writes the `n` items at `row` to `out` ascending and without repeats; returns how many
// it wrote. `out` may be `row` or lie before it (the rows of a table closing up to the left),
// never inside (row, row + n).
std::uint32_t sort_unique_row(std::uint32_t* row, std::uint32_t n, std::uint32_t* out);

}  // namespace tallyfold
