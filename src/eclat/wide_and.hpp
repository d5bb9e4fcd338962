#pragma once
// AND-popcount of one transaction bitset against many, for the Eclat search. Single pairs go
// through the shared kernels (common/bitset_kernels.hpp), which count eight words at a time
// where the CPU counts bits in vector registers.

#include <cstddef>
#include <cstdint>

namespace tallyfold::eclat {

// One set against `n` others stored back to back (set j at others + j * words), in one call:
// the sets of deep subtrees are a few words long, and a call per pair would cost more than
// the ANDs. counts[j] = popcount(x & set j) for every j.
void wide_and_count_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                         std::size_t words, std::uint32_t* counts);

// The same, also keeping each x & set j that reaches `min_count`: they go to `out` back to
// back in order (the others are written over), and the number kept is returned. `out` has
// room for n sets and does not overlap the inputs.
std::size_t wide_and_keep_each(const std::uint64_t* x, const std::uint64_t* others, std::size_t n,
                               std::size_t words, std::uint32_t min_count, std::uint64_t* out,
                               std::uint32_t* counts);

}  // namespace tallyfold::eclat
