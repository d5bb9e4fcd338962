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
  // (shorter, longer, value range): equal lengths, just under and far past the switch, empty.
  const std::size_t shapes[][3] = {{200, 200, 400},  {50, 700, 2000}, {10, 900, 1000},
                                   {3, 5000, 20000}, {0, 50, 100},    {40, 40, 40}};
  for (const auto& shape : shapes) {
    for (int round = 0; round < 20; ++round) {
      const auto a = random_list(rng, shape[0], static_cast<std::uint32_t>(shape[2]));
      const auto b = random_list(rng, shape[1], static_cast<std::uint32_t>(shape[2]));
      std::vector<std::uint32_t> want;
      std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(want));
      for (bool swapped : {false, true}) {
        const auto& x = swapped ? b : a;
        const auto& y = swapped ? a : b;
        std::vector<std::uint32_t> out(std::min(a.size(), b.size()) + 1, 0xDEADBEEF);
        out.resize(intersect_lists(x, y, out.data()));
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
