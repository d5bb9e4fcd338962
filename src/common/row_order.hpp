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

// Sorts `words` by their bits [low_bit, high_bit), least significant digit first, keeping the
// order of words equal there. Takes a second buffer as large as `words` while it runs.
void radix_sort_bits(std::vector<std::uint64_t>& words, unsigned low_bit, unsigned high_bit);

}  // namespace tallyfold
