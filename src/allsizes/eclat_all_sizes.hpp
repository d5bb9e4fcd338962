#pragma once
// The depth-first search reporting every size: Eclat's search with each itemset emitted as
// it is visited, which is already ascending lexicographic order.

#include <cstdint>

#include "common/inverted_index.hpp"
#include "common/itemset_csr.hpp"
#include "common/run_monitor.hpp"

namespace tallyfold {

// max_len 0: no limit. Runs on the current task arena. A `monitor` (may be null) counts
// the top-level items done and the rows found, and stops the search at its limits.
ItemsetCsr eclat_all_sizes(const InvertedIndex& index, std::uint32_t min_count,
                            std::uint64_t max_len, RunMonitor* monitor = nullptr);

}  // namespace tallyfold
