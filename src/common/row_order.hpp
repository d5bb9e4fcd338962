#pragma once
// The order in which a level's rows are handed to callers: ascending lexicographic order of
// their items, compared as unsigned values.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/uninit_vector.hpp"

namespace tallyfold {

// Row numbers of `rows` rows of `width` items (back to back) in ascending lexicographic order.
std::vector<std::uint32_t> lexicographic_order(const std::uint32_t* items, std::size_t width,
                                               std::size_t rows);

// Bits that hold every value up to `largest` (at least one).
inline unsigned bits_to_hold(std::uint64_t largest) {
  return largest == 0 ? 1 : static_cast<unsigned>(std::bit_width(largest));
}

// A row's items in one word, the first most significant, `item_bits` each; the item at
// position `omit`, if any, is left out. The caller makes sure they fit.
inline std::uint64_t packed_row(std::span<const std::uint32_t> row, unsigned item_bits,
                                std::size_t omit = static_cast<std::size_t>(-1)) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < row.size(); ++i)
    if (i != omit) key = (key << item_bits) | row[i];
  return key;
}

// The inverse of packed_row (nothing omitted): the `width` items of `key` into `out`.
inline void unpack_row(std::uint64_t key, unsigned item_bits, std::size_t width,
                       std::uint32_t* out) {
  const std::uint64_t item_mask = (std::uint64_t{1} << item_bits) - 1;
  for (std::size_t i = width; i-- > 0; key >>= item_bits)
    out[i] = static_cast<std::uint32_t>(key & item_mask);
}

// How many leading items two rows share: walking itemsets in lexicographic order, the
// state built for the previous row's first items serves the next row as far as they agree.
inline std::size_t shared_prefix(std::span<const std::uint32_t> previous,
                                 std::span<const std::uint32_t> row) {
  const std::size_t n = std::min(previous.size(), row.size());
  std::size_t depth = 0;
  while (depth < n && previous[depth] == row[depth]) ++depth;
  return depth;
}

// Sorts `words` by their bits [low_bit, high_bit), least significant digit first, keeping the
// order of words equal there. Takes a second buffer as large as `words` while it runs.
void radix_sort_bits(UninitVector<std::uint64_t>& words, unsigned low_bit, unsigned high_bit);

}  // namespace tallyfold
