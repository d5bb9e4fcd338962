// One transaction's items put in order, each once, against std::sort and std::unique: every
// length around the 16 lanes of a register, repeats, rows already sorted, the largest item
// numbers, and rows written over themselves or to the left of where they were read.
#include "common/row_sort.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"

using namespace tallyfold;

int main() {
  std::mt19937 rng(5);
  for (std::uint32_t n = 0; n <= 40; ++n) {
    for (int trial = 0; trial < 50; ++trial) {
      // Small alphabets give repeats; some rows come sorted; some hold numbers near 2^31.
      const std::uint32_t alphabet = trial % 3 == 0 ? 4 : trial % 3 == 1 ? 1000 : 0x7FFFFFFF;
      std::vector<std::uint32_t> row(n);
      for (auto& x : row) x = alphabet == 0x7FFFFFFF ? 0x7FFFFFFF - rng() % 8 : rng() % alphabet;
      if (trial % 7 == 0) std::sort(row.begin(), row.end());
      std::vector<std::uint32_t> want = row;
      std::sort(want.begin(), want.end());
      want.erase(std::unique(want.begin(), want.end()), want.end());

      // In place.
      std::vector<std::uint32_t> in_place = row;
      const std::uint32_t len = sort_unique_row(in_place.data(), n, in_place.data());
      CHECK(std::vector<std::uint32_t>(in_place.begin(), in_place.begin() + len) == want);

      // Closing up to the left, with guards before and after the row.
      const std::uint32_t gap = trial % 4, guard = 0xDEADBEEF;
      std::vector<std::uint32_t> table(1 + gap + n + 1, guard);
      std::copy(row.begin(), row.end(), table.begin() + 1 + gap);
      const std::uint32_t moved = sort_unique_row(table.data() + 1 + gap, n, table.data() + 1);
      CHECK(std::vector<std::uint32_t>(table.begin() + 1, table.begin() + 1 + moved) == want);
      CHECK(table.front() == guard);
      CHECK(table.back() == guard);
    }
  }
  return check_failures() == 0 ? 0 : 1;
}
