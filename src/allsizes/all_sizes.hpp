#pragma once
// Every frequent itemset of every size up to a limit, in one call: the itemsets whose count
// (distinct transactions holding all their items) reaches an absolute min count, optionally
// cut to the closed or the maximal ones. Rows come out in ascending lexicographic order of
// their id sequences (a prefix before its extensions), the same for every algorithm and any
// number of threads.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/caller_array.hpp"
#include "common/item_numbering.hpp"
#include "common/itemset_csr.hpp"
#include "common/run_monitor.hpp"

namespace tallyfold {

// Which counter mines the levels. Eclat searches depth first; the others are the level-wise
// counters, run level after level with every level kept.
enum class Algorithm {
  Auto,
  Eclat,
  Pipeline,
  V1Roaring,
  V2Memo,
  V3Adaptive,
  V5Prefilter,
  V6Gating,
  Classic,
};

enum class Target {
  All,
  Closed,   // no proper superset has the same count
  Maximal,  // no proper superset is frequent
};

// The names callers use, in the order error messages list them.
inline constexpr std::string_view kAlgorithmNames[] = {
    "auto", "eclat", "pipeline", "v1_roaring", "v2_memo", "v3_adaptive", "v5_prefilter",
    "v6_gating", "classic"};
inline constexpr std::string_view kTargetNames[] = {"all", "closed", "maximal"};

std::optional<Algorithm> algorithm_by_name(std::string_view name);
std::optional<Target> target_by_name(std::string_view name);

struct AllSizesRequest {
  CallerArray<std::int64_t> txn_ids;
  CallerArray<std::int32_t> item_ids;  // ids in 0 .. n_items - 1; the index checks them again
  std::uint32_t n_items = 0;
  std::uint32_t min_count = 1;  // at least 1
  std::uint64_t max_len = 0;    // 0: no limit
  Algorithm algorithm = Algorithm::Auto;
  Target target = Target::All;
  RunMonitor* monitor = nullptr;  // progress and limits of the run; none when null
};

struct AllSizesResult {
  ItemsetCsr itemsets;
  std::vector<std::uint32_t> item_counts;  // may be shorter than n_items: the rest are 0
  ItemNumbering numbering;                 // item_counts[i] belongs to numbering.caller_id(i)
  std::uint32_t n_transactions = 0;
};

// Runs on the calling thread and the current task arena's pool.
AllSizesResult mine_all_sizes(const AllSizesRequest& request);

}  // namespace tallyfold
