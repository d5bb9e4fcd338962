#pragma once
// Intersection kernels over transaction sets held as ascending lists of transaction numbers
// (the bitset kernels are in common/bitset_kernels.hpp). Pure functions; safe on any thread.

#include <cstddef>
#include <cstdint>
#include <span>

namespace tallyfold {

// Writes a ∩ b (both strictly ascending) to `out`, which must hold min(|a|, |b|) entries and
// may alias neither input; returns the number written.
std::size_t intersect_lists(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                            std::uint32_t* out);

// |a ∩ b| when it reaches `min_count`. Gives up as soon as the rest of the shorter list cannot
// lift the count to min_count, and then returns some value below min_count.
std::uint32_t intersect_count(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                              std::uint32_t min_count);

// Rough cost of one list intersection in the units of the strategy choice (candidates.cpp):
// a linear merge for lists of similar length, a galloping search of the longer list otherwise.
double intersect_cost(std::size_t a, std::size_t b);

}  // namespace tallyfold
