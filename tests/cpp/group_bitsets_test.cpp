// A group's sibling bitsets against the rows they stand for: the prefix's transactions with
// two siblings or more, in order, one bit each, with every bitset closed up to the rows kept
// (the bitsets are filled at the length of the prefix's transactions and moved together).
#include "itemsets/group_bitsets.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/inverted_index.hpp"
#include "itemsets/reduced_transactions.hpp"

using namespace tallyfold;

namespace {

// The index of `rows` (each ascending and distinct) over items below `item_space`.
InvertedIndex index_of(const std::vector<std::vector<std::uint32_t>>& rows,
                       std::uint32_t item_space) {
  InvertedIndex index;
  index.n_transactions = static_cast<std::uint32_t>(rows.size());
  index.item_space = index.n_items = item_space;
  index.txn_offsets.push_back(0);
  std::vector<std::vector<std::uint32_t>> by_item(item_space);
  for (std::uint32_t t = 0; t < rows.size(); ++t) {
    for (const std::uint32_t item : rows[t]) {
      index.txn_items.push_back(item);
      by_item[item].push_back(t);
    }
    index.txn_offsets.push_back(static_cast<std::uint32_t>(index.txn_items.size()));
  }
  index.item_offsets.push_back(0);
  for (const auto& txns : by_item) {
    for (const std::uint32_t t : txns) {
      index.item_txns.resize(index.item_txns.size() + 1);
      index.item_txns.back() = t;
    }
    index.item_offsets.push_back(static_cast<std::uint32_t>(index.item_txns.size()));
    index.item_counts.push_back(static_cast<std::uint32_t>(txns.size()));
  }
  return index;
}

bool bit(const std::uint64_t* bits, std::size_t r) { return (bits[r / 64] >> (r % 64)) & 1; }

}  // namespace

int main() {
  constexpr std::uint32_t kItems = 40;
  std::mt19937 random(7);
  std::vector<std::vector<std::uint32_t>> rows(2000);
  for (auto& row : rows)
    for (std::uint32_t item = 0; item < kItems; ++item)
      if (random() % (item == 0 ? 2 : 5) == 0) row.push_back(item);
  const InvertedIndex index = index_of(rows, kItems);
  ReducedTransactions reduced;
  reduced.item_space = kItems;
  reduced.whole = &index;

  GroupBitsets group(kItems);
  // Two groups of one prefix in a row, the second with fewer siblings and so fewer rows:
  // nothing of the first may show through.
  for (const std::vector<std::uint32_t>& siblings :
       {std::vector<std::uint32_t>{3, 5, 8, 13, 21, 30, 39}, std::vector<std::uint32_t>{5, 13, 39}}) {
    group.build(index, reduced, 0, siblings);
    std::vector<std::uint32_t> kept;  // the group's rows: transactions of item 0
    for (const std::uint32_t t : index.txns_of(0)) {
      const auto held = std::count_if(siblings.begin(), siblings.end(), [&](std::uint32_t s) {
        return std::binary_search(rows[t].begin(), rows[t].end(), s);
      });
      if (held >= 2) kept.push_back(t);
    }
    CHECK(kept.size() > 64);  // the bitsets span several words
    CHECK(group.words() == (kept.size() + 63) / 64);
    bool bits_match = true, tail_clear = true;
    for (std::size_t j = 0; j < siblings.size(); ++j) {
      const std::uint64_t* of = group.of(j);
      for (std::size_t r = 0; r < kept.size(); ++r)
        bits_match = bits_match && bit(of, r) == std::binary_search(rows[kept[r]].begin(),
                                                                   rows[kept[r]].end(), siblings[j]);
      for (std::size_t r = kept.size(); r < group.words() * 64; ++r)
        tail_clear = tail_clear && !bit(of, r);
    }
    CHECK(bits_match);
    CHECK(tail_clear);
  }
  return check_failures() == 0 ? 0 : 1;
}
