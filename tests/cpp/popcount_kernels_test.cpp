// The AND-popcount kernels (vector where the CPU counts bits in vector registers) against a
// word-by-word reference: every length around the eight-word blocks (the masked last block),
// the result written in place over an input, nothing written past the end, the early-exit
// intersection exact whenever it reaches its need and below it otherwise, and Eclat's one set
// against many with only those reaching the min count kept, in order.
#include "common/bitset_kernels.hpp"
#include "eclat/wide_and.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"

using namespace tallyfold;

int main() {
  std::mt19937_64 rng(11);
  std::printf("vector popcount: %s\n", popcount_kernels_are_vector() ? "yes" : "no");
  for (std::size_t words = 0; words <= 41; ++words) {
    std::vector<std::uint64_t> a(words + 1), b(words + 1);
    for (std::size_t w = 0; w <= words; ++w) {
      a[w] = rng();
      b[w] = rng() | (w % 3 == 0 ? ~std::uint64_t{0} : 0);
    }
    std::vector<std::uint64_t> want(words);
    std::uint32_t want_count = 0;
    for (std::size_t w = 0; w < words; ++w) {
      want[w] = a[w] & b[w];
      want_count += static_cast<std::uint32_t>(__builtin_popcountll(want[w]));
    }
    CHECK(and_count(a.data(), b.data(), words) == want_count);

    const std::uint64_t guard = 0x5a5a5a5a5a5a5a5aull;
    std::vector<std::uint64_t> out(words + 1, guard);
    CHECK(and_into(a.data(), b.data(), out.data(), words) == want_count);
    CHECK(std::vector<std::uint64_t>(out.begin(), out.begin() + words) == want);
    CHECK(out[words] == guard);

    // In place over the first input, as the search narrows a set by its next item.
    std::vector<std::uint64_t> in_place = a;
    CHECK(and_into(in_place.data(), b.data(), in_place.data(), words) == want_count);
    CHECK(std::vector<std::uint64_t>(in_place.begin(), in_place.begin() + words) == want);
    CHECK(in_place[words] == a[words]);

    // The early exit: each need around the true count, with a's bits per block as bound.
    std::vector<std::uint32_t> suffix;
    block_suffix_counts(a.data(), words, suffix);
    for (const std::uint32_t need : {0u, want_count / 2, want_count, want_count + 1, 64u * 41}) {
      std::vector<std::uint64_t> partial(words + 1, guard);
      const std::uint32_t got =
          and_into_at_least(a.data(), b.data(), partial.data(), words, need, suffix);
      CHECK(partial[words] == guard);
      if (want_count >= need) {
        CHECK(got == want_count);
        CHECK(std::vector<std::uint64_t>(partial.begin(), partial.begin() + words) == want);
      } else {
        CHECK(got < need);
      }
    }
  }
  for (std::size_t words : {1u, 3u, 8u, 13u}) {
    const std::size_t n = 9;
    std::vector<std::uint64_t> x(words), others(n * words);
    for (auto& w : x) w = rng();
    for (auto& w : others) w = rng() & rng();  // sparser than x: some results fall short
    std::vector<std::uint32_t> want(n);
    for (std::size_t j = 0; j < n; ++j)
      for (std::size_t w = 0; w < words; ++w)
        want[j] += static_cast<std::uint32_t>(__builtin_popcountll(x[w] & others[j * words + w]));
    std::vector<std::uint32_t> counts(n, 99);
    eclat::wide_and_count_each(x.data(), others.data(), n, words, counts.data());
    CHECK(counts == want);

    std::vector<std::uint32_t> sorted = want;
    std::sort(sorted.begin(), sorted.end());
    const std::uint32_t min_count = sorted[n / 2];  // about half are kept
    std::vector<std::uint64_t> out(n * words, 0);
    std::fill(counts.begin(), counts.end(), 99);
    const std::size_t kept = eclat::wide_and_keep_each(x.data(), others.data(), n, words,
                                                       min_count, out.data(), counts.data());
    CHECK(counts == want);
    std::size_t k = 0;
    for (std::size_t j = 0; j < n; ++j) {
      if (want[j] < min_count) continue;
      for (std::size_t w = 0; w < words; ++w)
        CHECK(out[k * words + w] == (x[w] & others[j * words + w]));
      ++k;
    }
    CHECK(kept == k);
    CHECK(k > 0 && k < n);
  }

  // Listing set bits: words of every popcount from empty to full (the four entries each word
  // writes, and the loop past them), in both widths, never beyond the count plus the slack.
  for (int round = 0; round < 200; ++round) {
    const std::size_t words = 1 + static_cast<std::size_t>(round % 23);
    std::vector<std::uint64_t> bits(words);
    std::vector<std::uint32_t> want;
    for (std::size_t w = 0; w < words; ++w) {
      const unsigned wanted_bits = static_cast<unsigned>((round * 7 + w * 13) % 66);
      std::uint64_t v = wanted_bits >= 64 ? ~std::uint64_t{0} : 0;
      for (unsigned i = 0; i < wanted_bits && wanted_bits < 64; ++i) v |= std::uint64_t{1} << (rng() % 64);
      bits[w] = v;
      for (unsigned i = 0; i < 64; ++i)
        if ((v >> i) & 1) want.push_back(static_cast<std::uint32_t>(w * 64 + i));
    }
    const std::uint32_t guard = 0xA5A5A5A5u;
    std::vector<std::uint32_t> wide(want.size() + kListBitsSlack + 1, guard);
    CHECK(list_bits(bits.data(), words, wide.data()) == want.size());
    CHECK(std::equal(want.begin(), want.end(), wide.begin()));
    CHECK(wide.back() == guard);
    std::vector<std::uint16_t> narrow(want.size() + kListBitsSlack + 1, 0xA5A5);
    CHECK(list_bits(bits.data(), words, narrow.data()) == want.size());
    CHECK(std::equal(want.begin(), want.end(), narrow.begin()));
    CHECK(narrow.back() == 0xA5A5);
    std::vector<std::uint32_t> sized(3, 1);
    list_bits(bits.data(), words, sized);
    CHECK(sized == want);
  }
  return check_failures() == 0 ? 0 : 1;
}
