// Joining workers' parts of a level: distinct rows found in no order come out as one table in
// lexicographic order with their counts, whether the counts fit in the sorted words beside
// the items, the rows' numbers do instead, or the rows are too wide for a word at all.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "check.hpp"
#include "itemsets/level_parts.hpp"

using namespace tallyfold;

namespace {

using Row = std::vector<std::uint32_t>;

// `rows` distinct random rows of `width` ascending items below `space`, dealt to `n_parts`
// parts; each count is drawn below `count_limit`. Returns whether the join gives them all,
// once each, in order, with their counts.
bool joins(std::size_t width, std::uint32_t space, std::size_t rows, std::size_t n_parts,
           std::uint32_t count_limit, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> item(0, space - 1), count(0, count_limit - 1);
  std::map<Row, std::uint32_t> expected;
  std::vector<RowChunks> parts(n_parts, RowChunks(width));
  while (expected.size() < rows) {
    std::set<std::uint32_t> items;
    while (items.size() < width) items.insert(item(rng));
    const Row row(items.begin(), items.end());
    if (expected.contains(row)) continue;
    const std::uint32_t c = count(rng);
    expected[row] = c;
    parts[rng() % n_parts].append(row, c);
  }
  const ItemsetTable level = join_chunks_in_order(space, parts);
  if (level.size() != rows) return false;
  std::size_t r = 0;
  for (const auto& [row, c] : expected) {  // the map holds its rows in lexicographic order
    const auto got = level.row(r);
    if (!std::equal(got.begin(), got.end(), row.begin(), row.end()) || level.count(r) != c)
      return false;
    ++r;
  }
  return true;
}

}  // namespace

int main() {
  // Counts beside the items: 3 x 7 bits and counts below 2^10; two chunks' worth per part.
  CHECK(joins(3, 100, 9000, 2, 1000, 1));
  // 3 x 16 bits leave no room for counts of 20 bits but do for 14-bit row numbers.
  CHECK(joins(3, 60000, 20000, 3, 1u << 20, 2));
  // 5 x 16 bits: no word holds a row; the parts are copied and sorted as a table.
  CHECK(joins(5, 60000, 5000, 2, 1u << 20, 3));
  // One part, and parts left empty.
  CHECK(joins(2, 50, 600, 1, 30, 4));
  CHECK(joins(4, 40, 300, 6, 5, 5));
  return check_failures() == 0 ? 0 : 1;
}
