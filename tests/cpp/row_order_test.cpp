// The order of a level's rows: rows that pack into one word are radix-sorted, wider rows are
// compared; both must give the lexicographic order, ties and all. A table built from
// distinct rows is searched through an index of its own.
#include <algorithm>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/itemset_table.hpp"
#include "common/row_order.hpp"

using namespace tallyfold;

namespace {

// Random rows of `width` items below `space` (repeats included), and whether
// lexicographic_order puts them in order, every row once.
bool sorts(std::size_t width, std::uint32_t space, std::size_t rows, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> item(0, space - 1);
  std::vector<std::uint32_t> items(width * rows);
  for (auto& x : items) x = item(rng);
  const std::vector<std::uint32_t> order = lexicographic_order(items.data(), width, rows);
  std::vector<std::uint32_t> seen(order);
  std::sort(seen.begin(), seen.end());
  for (std::size_t r = 0; r < rows; ++r)
    if (seen[r] != r) return false;
  for (std::size_t p = 1; p < rows; ++p) {
    const std::uint32_t* a = items.data() + std::size_t{order[p - 1]} * width;
    const std::uint32_t* b = items.data() + std::size_t{order[p]} * width;
    if (std::lexicographical_compare(b, b + width, a, a + width)) return false;
  }
  return true;
}

}  // namespace

int main() {
  CHECK(sorts(3, 7, 5000, 1));           // packed, narrow items, many ties
  CHECK(sorts(6, 120, 40000, 2));        // packed: 42 item bits, several digits
  CHECK(sorts(2, 1u << 30, 3000, 3));    // packed up to the last bit
  CHECK(sorts(4, 1u << 20, 30000, 4));   // too wide to pack: compared on the pool
  CHECK(sorts(1, 2, 2, 5));
  CHECK(lexicographic_order(nullptr, 3, 0).empty());
  {
    // Rows with the largest ids (all 32 bits) cannot pack beside a row number.
    const std::vector<std::uint32_t> items{0xFFFFFFFFu, 0, 1, 0xFFFFFFFFu, 1, 0};
    const std::vector<std::uint32_t> order = lexicographic_order(items.data(), 2, 3);
    CHECK((order == std::vector<std::uint32_t>{2, 1, 0}));
  }
  {
    const ItemsetTable table =
        ItemsetTable::from_distinct_rows(2, {4, 9, 1, 2, 1, 9}, {3, 2, 1});
    CHECK(!table.searchable());
    const TableRowIndex index(table);
    const std::uint32_t hit[2] = {1, 9}, miss[2] = {9, 1};
    CHECK(index.contains(hit));
    CHECK(!index.contains(miss));
    ItemsetTable searchable(2);
    searchable.insert(hit, 5);
    CHECK(TableRowIndex(searchable).contains(hit));
    CHECK(!TableRowIndex(searchable).contains(miss));
  }
  return check_failures() == 0 ? 0 : 1;
}
