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

// Whether the calls above run on vector popcounts on this CPU (else on the scalar kernels).
bool wide_and_is_vector();

}  // namespace tallyfold::eclat
