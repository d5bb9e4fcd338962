// The intersection kernels against std::set_intersection, on both sides of the galloping
// switch (lists of similar and of very different lengths) and around the early exit.
#include "classic/tid_sets.hpp"
#include "common/bitset_kernels.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <set>
#include <vector>

#include "check.hpp"

using namespace tallyfold;

namespace {

std::vector<std::uint32_t> random_list(std::mt19937& rng, std::size_t size, std::uint32_t range) {
  std::set<std::uint32_t> s;
  std::uniform_int_distribution<std::uint32_t> pick(0, range - 1);
  while (s.size() < size) s.insert(pick(rng));
  return {s.begin(), s.end()};
}

}  // namespace

int main() {
  std::mt19937 rng(7);
  // (shorter, longer, value range): equal lengths, just under and far past the switch, empty;
  // dense lists whose sixteen-entry blocks stop part-way through the other list (one nearly
  // inside the other, so the matches fill the output to its last entry), and single blocks.
  const std::size_t shapes[][3] = {{200, 200, 400},  {50, 700, 2000}, {10, 900, 1000},
                                   {3, 5000, 20000}, {0, 50, 100},    {40, 40, 40},
                                   {20, 40, 41},     {33, 47, 50},    {64, 64, 70},
                                   {100, 300, 310},  {16, 16, 20},    {17, 31, 33}};
  for (const auto& shape : shapes) {
    for (int round = 0; round < 20; ++round) {
      const auto a = random_list(rng, shape[0], static_cast<std::uint32_t>(shape[2]));
      const auto b = random_list(rng, shape[1], static_cast<std::uint32_t>(shape[2]));
      std::vector<std::uint32_t> want;
      std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(want));
      for (bool swapped : {false, true}) {
        const auto& x = swapped ? b : a;
        const auto& y = swapped ? a : b;
        // Room for min(|a|, |b|) entries and a guard after it, which nothing may write.
        const std::size_t room = std::min(a.size(), b.size());
        std::vector<std::uint32_t> out(room + 1, 0xDEADBEEF);
        const std::size_t written = intersect_lists(x, y, out.data());
        CHECK(out[room] == 0xDEADBEEF);
        out.resize(written);
        CHECK(out == want);
        const auto n = static_cast<std::uint32_t>(want.size());
        for (std::uint32_t min_count : {0u, 1u, n > 0 ? n - 1 : 0u, n, n + 1, n + 5}) {
          const std::uint32_t c = intersect_count(x, y, min_count);
          CHECK(n >= min_count ? c == n : c < min_count);
        }
      }
    }
  }

  // Bitsets: AND counts, and AND written in place over its first operand.
  std::vector<std::uint64_t> p(5), q(5);
  for (auto& w : p) w = (std::uint64_t{rng()} << 32) | rng();
  for (auto& w : q) w = (std::uint64_t{rng()} << 32) | rng();
  std::uint32_t expected = 0;
  for (std::size_t w = 0; w < 5; ++w)
    for (int bit = 0; bit < 64; ++bit) expected += ((p[w] & q[w]) >> bit) & 1;
  CHECK(and_count(p.data(), q.data(), 5) == expected);
  and_into(p.data(), q.data(), p.data(), 5);
  CHECK(and_count(p.data(), p.data(), 5) == expected);
  return check_failures() == 0 ? 0 : 1;
}
