#pragma once
// Word-array kernels for transaction sets held as bitsets. On x86-64 each kernel is compiled
// several times (vector popcount, scalar popcount, baseline) and the loader picks the best
// one the CPU has, so the module still runs on CPUs without the popcount instruction.

#include <cstddef>
#include <cstdint>

namespace tallyfold::eclat {

// Number of bits set in both `a` and `b` (each `words` words long).
std::uint32_t and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words);

// Writes a & b to `dst` (which may alias neither input) and returns its number of set bits.
std::uint32_t and_into(std::uint64_t* dst, const std::uint64_t* a, const std::uint64_t* b,
                       std::size_t words);

}  // namespace tallyfold::eclat
