#pragma once
// Level 2 of the level-wise pipelines: every unordered pair of items whose count reaches the
// min count, with that count, and the same pairs as a membership set.

#include "common/inverted_index.hpp"
#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"

namespace tallyfold {

struct FrequentPairs {
  // Rows (a, b) with a < b, in lexicographic order as counted. The table has no hash index:
  // lookups of a pair go to `set`, and indexing ~20,000 rows one by one was half a
  // millisecond on one thread while the other waited.
  ItemsetTable counts{2};
  PairSet set;
};

// The min count is ceil(min_support * N), or 1 when min_support is not positive.
FrequentPairs count_frequent_pairs(const InvertedIndex& index, double min_support);

}  // namespace tallyfold
