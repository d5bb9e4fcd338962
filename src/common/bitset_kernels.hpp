#pragma once
// Fixed-width transaction bitsets: one bit per transaction index. Where the data are dense
// (few transactions, large sets) a set costs N/8 bytes and an intersection count a pass of
// N/64 words, far less than merging or walking lists of thousands of indices.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tallyfold {

inline std::size_t bitset_words(std::uint32_t n_transactions) {
  return (static_cast<std::size_t>(n_transactions) + 63) / 64;
}

// Whether the kernels below count bits in vector registers on this CPU (else one word at a
// time): cost models that weigh an AND word against other work read it.
bool popcount_kernels_are_vector();

// The cost of one AND-popcount word against one item read from a row, for the cost models
// that choose between the two: vector popcounts count eight words for about what the scalar
// one pays for two.
double and_word_cost();

// The steps of about 10 ns that `ands` ANDs of `words` words take: the unit in which
// worth_sharing (common/parallel.hpp) weighs work, a step being about eight words.
inline double and_steps(double ands, std::size_t words) {
  return ands * static_cast<double>(words) / 8;
}

// popcount(a & b) over `words` words.
std::uint32_t and_count(const std::uint64_t* a, const std::uint64_t* b, std::size_t words);

// out = a & b (out may be a itself); returns popcount(out).
std::uint32_t and_into(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out,
                       std::size_t words);

// Words per block of the early-exit intersection below.
inline constexpr std::size_t kBitsetBlockWords = 8;

// popcount(a) of the blocks from each block on: suffix[b] counts blocks b, b+1, ...
// (one more entry than blocks, the last 0).
void block_suffix_counts(const std::uint64_t* a, std::size_t words, std::vector<std::uint32_t>& suffix);

// out = a & b with its popcount, unless the popcount cannot reach `need`: the pass stops as
// soon as the count so far plus a's bits still ahead (`a_suffix`) falls short, and returns
// a value below `need` (out is then partly written).
std::uint32_t and_into_at_least(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out,
                                std::size_t words, std::uint32_t need,
                                const std::vector<std::uint32_t>& a_suffix);

// Entries list_bits may write past the last index it lists.
inline constexpr std::size_t kListBitsSlack = 4;

// Writes the indices of the bits set in `bits` (`words` words), ascending, to `out`, which
// must have room for them plus kListBitsSlack; returns how many it listed. Each word writes
// four entries whatever it holds, and only a word of more than four bits loops: sparse sets,
// mostly zero words and words of one or two bits, take no branch a predictor could miss.
std::size_t list_bits(const std::uint64_t* bits, std::size_t words, std::uint32_t* out);
// The same for at most 1024 words (indices below 65,536), as 16-bit entries.
std::size_t list_bits(const std::uint64_t* bits, std::size_t words, std::uint16_t* out);

// The same into `out`, sized to the indices listed.
void list_bits(const std::uint64_t* bits, std::size_t words, std::vector<std::uint32_t>& out);

// Writes to `out` (room for list.size()) the entries of the ascending `list` whose bit is set
// in `bits`, and returns how many. Each entry is written and kept by advancing the count, so
// no branch follows a test whose outcome is close to a coin toss.
inline std::size_t keep_listed_bits(std::span<const std::uint32_t> list, const std::uint64_t* bits,
                                    std::uint32_t* out) {
  std::size_t n = 0;
  for (const std::uint32_t t : list) {
    out[n] = t;
    n += (bits[t >> 6] >> (t & 63)) & 1;
  }
  return n;
}

// Sets the bits of `tids` (below words * 64) in the zeroed `out`.
void set_bits(std::span<const std::uint32_t> tids, std::uint64_t* out);

}  // namespace tallyfold
