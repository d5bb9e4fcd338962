// Joining level-wise results: levels filled in any row order come out depth first, and a
// row whose prefix is missing (an incomplete level) is a fault, not a silently lost row.
#include <algorithm>
#include <vector>

#include "allsizes/level_order.hpp"
#include "check.hpp"
#include "common/panic.hpp"
#include "common/row_lookup.hpp"

using namespace tallyfold;

namespace {

ItemsetTable level(std::size_t width, std::vector<std::vector<std::uint32_t>> rows) {
  ItemsetTable t(width);
  std::uint32_t count = 10;
  for (const auto& r : rows) t.insert(r, count--);
  return t;
}

}  // namespace

int main() {
  {
    std::vector<ItemsetTable> levels;
    levels.push_back(level(1, {{2}, {0}, {1}}));
    levels.push_back(level(2, {{1, 2}, {0, 2}, {0, 1}}));
    levels.push_back(level(3, {{0, 1, 2}}));
    const ItemsetCsr rows = join_levels_in_lexicographic_order(std::move(levels));
    const std::vector<std::int64_t> offsets{0, 1, 3, 6, 8, 9, 11, 12};
    const std::vector<std::uint32_t> items{0, 0, 1, 0, 1, 2, 0, 2, 1, 1, 2, 2};
    CHECK(std::equal(rows.offsets.begin(), rows.offsets.end(), offsets.begin(), offsets.end()));
    CHECK(std::equal(rows.items.begin(), rows.items.end(), items.begin(), items.end()));
    CHECK(rows.counts.size() == 7 && rows.counts[0] == 9 && rows.counts[6] == 10);
  }
  {
    std::vector<ItemsetTable> levels;
    levels.push_back(level(1, {{0}, {2}}));
    levels.push_back(level(2, {{1, 2}}));  // prefix {1} is not in level 1
    CHECK(throws<Panic>([&] { join_levels_in_lexicographic_order(std::move(levels)); }));
  }
  {
    // Rows whose id-key sums collide only by order are still told apart by their ids.
    const std::vector<std::uint32_t> items{1, 2, 2, 1, 3};
    const std::vector<std::int64_t> offsets{0, 2, 4, 5};
    const RowLookup lookup(ItemsetCsrView{items, offsets});
    const std::uint32_t probe[2] = {2, 1};
    CHECK(lookup.find(probe) == std::optional<std::size_t>(1));
    const std::uint32_t three[1] = {3};
    CHECK(lookup.find(three) == std::optional<std::size_t>(2));
    CHECK(lookup.find_without(0, 0) == std::nullopt);  // {2} is not a row
    CHECK(!lookup.find(std::span<const std::uint32_t>()).has_value());
  }
  return check_failures() == 0 ? 0 : 1;
}
