#pragma once
// AND-popcount of transaction bitsets for the Eclat search, eight words at a time where the CPU
// counts bits in vector registers. The compiler does not vectorise a popcount sum by itself, and
// the search spends much of its time on bitsets of a few to a few hundred words: a scalar pass
// costs about a cycle per word, the vector one under a quarter of that.

#include <cstddef>
#include <cstdint>

namespace tallyfold::eclat {

// popcount(a & b) over `words` words.
std::uint32_t wide_and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words);

// out = a & b (out may be a or b); returns popcount(out).
std::uint32_t wide_and_into(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out,
                            std::size_t words);

// Whether the two calls above run on vector popcounts on this CPU (else on the scalar kernels).
bool wide_and_is_vector();

}  // namespace tallyfold::eclat
