// TID lists, the bitmap wrapper and the pair-neighbor lists: internals whose representation
// the Python surface never shows.
#include <cstdint>
#include <numeric>
#include <vector>

#include "check.hpp"
#include "common/itemset_table.hpp"
#include "common/roaring.hpp"
#include "common/tid_list.hpp"
#include "itemsets/memo_counters.hpp"

using namespace tallyfold;

namespace {

std::vector<std::uint32_t> range(std::uint32_t from, std::uint32_t to, std::uint32_t step = 1) {
  std::vector<std::uint32_t> v;
  for (std::uint32_t x = from; x < to; x += step) v.push_back(x);
  return v;
}

std::vector<std::uint32_t> values(const TidList& list) {
  std::vector<std::uint32_t> buffer;
  auto walked = list.walk(buffer);
  return {walked.begin(), walked.end()};
}

}  // namespace

int main() {
  // The representation follows the length only: 32 stays a sequence, 33 becomes a bitmap.
  TidList at_32 = TidList::from_roaring(Bitmap::of(range(0, 64, 2)));
  TidList at_33 = TidList::from_roaring(Bitmap::of(range(0, 66, 2)));
  CHECK(!at_32.is_dense() && at_32.length() == 32 && values(at_32) == range(0, 64, 2));
  CHECK(at_33.is_dense() && at_33.length() == 33 && values(at_33) == range(0, 66, 2));

  // Dense ∩ bitmap with 5 survivors comes back Sparse, ascending.
  TidList five = at_33.intersect_with_bitmap(Bitmap::of({{4, 8, 9, 12, 16, 20, 21}}));
  CHECK(!five.is_dense() && (values(five) == std::vector<std::uint32_t>{4, 8, 12, 16, 20}));
  // Dense ∩ a large overlap stays Dense; Sparse ∩ bitmap filters by membership.
  TidList big = at_33.intersect_with_bitmap(Bitmap::of(range(0, 100)));
  CHECK(big.is_dense() && big.length() == 33);
  TidList filtered = at_32.intersect_with_bitmap(Bitmap::of(range(0, 10)));
  CHECK((values(filtered) == std::vector<std::uint32_t>{0, 2, 4, 6, 8}));
  // Empty results are empty Sparse lists, from either side.
  CHECK(!at_33.intersect_with_bitmap(Bitmap::of(range(1, 66, 2))).is_dense());
  CHECK(at_32.intersect_with_bitmap(Bitmap()).length() == 0);

  // A moved-from bitmap is valid and empty; the target owns the values.
  Bitmap source = Bitmap::of(range(0, 5));
  Bitmap target = std::move(source);
  CHECK(source.cardinality() == 0 && !source.contains(0) && target.cardinality() == 5);
  source.add(7);
  CHECK(source.cardinality() == 1);
  target.unite(source);
  CHECK(target.cardinality() == 6 && target.contains(7));

  // Neighbor lists: each unordered pair seen from both sides, ascending.
  ItemsetTable pairs(2);
  for (auto [a, b] : {std::pair{2u, 3u}, {1u, 2u}, {2u, 4u}, {1u, 3u}}) {
    const std::uint32_t row[] = {a, b};
    pairs.insert(row, 1);
  }
  PairNeighbors lists = build_pair_neighbors(pairs, 5);
  CHECK(lists.of(0).empty());
  CHECK((std::vector<std::uint32_t>(lists.of(1).begin(), lists.of(1).end()) ==
         std::vector<std::uint32_t>{2, 3}));
  CHECK((std::vector<std::uint32_t>(lists.of(2).begin(), lists.of(2).end()) ==
         std::vector<std::uint32_t>{1, 3, 4}));
  CHECK((std::vector<std::uint32_t>(lists.of(4).begin(), lists.of(4).end()) ==
         std::vector<std::uint32_t>{2}));
  CHECK(throws<Panic>([&] { lists.of(5); }));
  return check_failures() == 0 ? 0 : 1;
}
