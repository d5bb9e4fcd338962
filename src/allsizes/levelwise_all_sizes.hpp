#pragma once
// The level-wise counters run over every level: level 1 from the index, level 2 from the
// frequent pairs, then one counting pass per level until max_len or the first empty level,
// every level kept and joined in lexicographic order.

#include <cstdint>

#include "allsizes/all_sizes.hpp"
#include "common/inverted_index.hpp"
#include "common/itemset_csr.hpp"
#include "common/run_monitor.hpp"

namespace tallyfold {

// `algorithm` is one of the anchor-and-extend counters (Pipeline, V1Roaring, V2Memo,
// V3Adaptive, V5Prefilter, V6Gating). max_len 0: no limit. A `monitor` (may be null) counts
// the levels and rows and stops the search at its limits.
ItemsetCsr levelwise_all_sizes(const InvertedIndex& index, Algorithm algorithm,
                                std::uint32_t min_count, std::uint64_t max_len,
                                RunMonitor* monitor = nullptr);

// Classic Apriori (candidate join, prune, count) over the request's rows.
ItemsetCsr classic_all_sizes(const AllSizesRequest& request, RunMonitor* monitor = nullptr);

}  // namespace tallyfold
