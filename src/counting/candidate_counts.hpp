#pragma once
// Counts of given itemsets over one set of transactions: the second pass of mining split by
// transactions, where each part counts the same candidate table and the counts are summed.
// Rows that share a prefix share its transaction list, so a table in lexicographic order
// (a prefix before its extensions, as the miners emit it) intersects each prefix once.

#include <cstdint>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/itemset_csr.hpp"

namespace tallyfold {

// The number of transactions of `index` holding every item of each row of `candidates`.
// Rows hold the caller's item ids in strictly ascending order (the index's numbering is
// applied here); an id that occurs in no transaction gives a count of 0, an empty row the
// number of transactions. Runs on the current task arena's pool; the counts do not depend
// on the thread count.
std::vector<std::int64_t> count_candidates(const InvertedIndex& index,
                                           const ItemsetCsrView& candidates);

}  // namespace tallyfold
