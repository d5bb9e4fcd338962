#pragma once
// The order in which a level's rows are handed to callers: ascending lexicographic order of
// their items, compared as unsigned values.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tallyfold {

// Row numbers of `rows` rows of `width` items (back to back) in ascending lexicographic order.
std::vector<std::uint32_t> lexicographic_order(const std::uint32_t* items, std::size_t width,
                                               std::size_t rows);

}  // namespace tallyfold
