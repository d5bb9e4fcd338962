#pragma once
// Level 2 of the memo pipelines on dense data: the frequent pairs counted by one AND and
// popcount of the two items' transaction bitsets each, instead of a scan of every
// transaction's pairs. With few frequent items in many of the transactions (chess, mushroom)
// the scan touches each transaction's dozens of items squared, the bitsets a few thousand
// words per pair; the result is the same table and set, row for row.

#include <optional>

#include "common/inverted_index.hpp"
#include "pairs/frequent_pairs.hpp"

namespace tallyfold {

// The frequent pairs as count_frequent_pairs gives them, when counting them on bitsets is
// estimated to cost less than the scan; nothing otherwise.
std::optional<FrequentPairs> frequent_pairs_on_bitsets(const InvertedIndex& index,
                                                       double min_support);

}  // namespace tallyfold
