#include "common/row_order.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include <tbb/parallel_sort.h>

#include "common/cancel.hpp"

namespace tallyfold {

namespace {

// Below this many rows waking the pool costs more than a comparison sort.
constexpr std::size_t kParallelSortMin = 1 << 14;
// Radix digits of this many bits: the counts of one pass fit the first-level cache.
constexpr unsigned kDigitBits = 11;

// When a row's items fit in one word beside its row number (few items of few bits, as most
// levels have), each row becomes that word: the items, most significant first, above the row
// number. A radix sort by the items' bits alone, least significant digit first, is then the
// lexicographic order, and the row numbers are read off the low bits. No row is compared.
std::optional<std::vector<std::uint32_t>> packed_order(const std::uint32_t* items,
                                                       std::size_t width, std::size_t rows) {
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < rows * width; ++i) largest = std::max(largest, items[i]);
  const unsigned item_bits = bits_to_hold(largest), row_bits = bits_to_hold(rows - 1);
  const std::size_t key_bits = width * item_bits;
  if (key_bits + row_bits > 64) return std::nullopt;

  UninitVector<std::uint64_t> words(rows);
  for (std::size_t r = 0; r < rows; ++r)
    words[r] = (packed_row({items + r * width, width}, item_bits) << row_bits) | r;
  radix_sort_bits(words, row_bits, static_cast<unsigned>(row_bits + key_bits));
  std::vector<std::uint32_t> order(rows);
  const std::uint64_t row_mask = (std::uint64_t{1} << row_bits) - 1;
  for (std::size_t r = 0; r < rows; ++r) order[r] = static_cast<std::uint32_t>(words[r] & row_mask);
  return order;
}

}  // namespace

void radix_sort_bits(UninitVector<std::uint64_t>& words, unsigned low_bit, unsigned high_bit) {
  const std::size_t n = words.size();
  if (n < 2) return;
  UninitVector<std::uint64_t> spare(n);
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  std::array<std::size_t, kBuckets> starts;
  for (unsigned shift = low_bit; shift < high_bit; shift += kDigitBits) {
    throw_if_cancelled();
    starts.fill(0);
    for (std::uint64_t w : words) ++starts[(w >> shift) & (kBuckets - 1)];
    // A digit that every word shares leaves the order as it is.
    if (std::find(starts.begin(), starts.end(), n) != starts.end()) continue;
    std::size_t next = 0;
    for (std::size_t& s : starts) next += std::exchange(s, next);
    for (std::uint64_t w : words) spare[starts[(w >> shift) & (kBuckets - 1)]++] = w;
    words.swap(spare);
  }
}

std::vector<std::uint32_t> lexicographic_order(const std::uint32_t* items, std::size_t width,
                                               std::size_t rows) {
  auto before = [&](std::uint32_t a, std::uint32_t b) {
    const std::uint32_t* ra = items + std::size_t{a} * width;
    const std::uint32_t* rb = items + std::size_t{b} * width;
    return std::lexicographical_compare(ra, ra + width, rb, rb + width);
  };
  // Levels built along sorted anchors arrive in order already: one pass confirms it.
  bool sorted = true;
  for (std::size_t i = 1; i < rows && sorted; ++i)
    sorted = !before(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i - 1));
  if (!sorted && width > 0)
    if (auto order = packed_order(items, width, rows)) return std::move(*order);
  std::vector<std::uint32_t> order(rows);
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  if (sorted) return order;
  if (rows < kParallelSortMin) {
    std::sort(order.begin(), order.end(), before);
  } else {
    tbb::parallel_sort(order.begin(), order.end(), before);
    throw_if_cancelled();  // a cancelled sort stops half done
  }
  return order;
}

}  // namespace tallyfold
