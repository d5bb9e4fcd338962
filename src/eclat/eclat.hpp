#pragma once
// Eclat: the frequent itemsets of size k_max and k_max - 1, found depth first from each
// frequent item. Rows come out in ascending lexicographic order for any number of threads:
// every top-level item fills its own output and the outputs are joined in item order.
//
// Choose it over the level-wise pipeline when the caller wants a deterministic row order or
// deep levels; unlike the pipeline it reports every frequent itemset of both sizes even when a
// level between 2 and k_max - 2 is empty (then both are empty too, by downward closure).

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/run_monitor.hpp"

namespace tallyfold {

// The two levels as rows stored back to back: `itemsets` holds rows of k_max ids,
// `lower_itemsets` rows of k_max - 1 ids, each row ascending, with one count per row.
struct EclatOut {
  std::vector<std::uint32_t> itemsets;
  std::vector<std::uint32_t> counts;
  std::vector<std::uint32_t> lower_itemsets;
  std::vector<std::uint32_t> lower_counts;
  // Filled only by a search that reports every size: the length of each row of `itemsets`,
  // whose rows then differ in length (`lower_*` stay empty).
  std::vector<std::uint32_t> lengths;
  // Rows and ids of this output already counted by the run's monitor, if any.
  std::size_t reported_rows = 0;
  std::size_t reported_items = 0;

  // Appends every row of `right` after the rows of this one, field by field, keeping order;
  // `right` is left empty.
  EclatOut& merge(EclatOut&& right);
};

// One frequent item and its transactions, borrowed from the index.
struct ItemNode {
  std::uint32_t item;
  std::span<const std::uint32_t> tids;
};

// ceil(min_support * N), or 1 when min_support is not positive, and never below 1: with no
// transactions a positive support would give 0, and an itemset found in no transaction is
// never reported (every combination of ids would otherwise qualify).
std::uint32_t eclat_min_count(double min_support, std::uint32_t n_transactions);

// The items reaching `min_count`, ascending by id. Linear in the used id space, not in n_items.
std::vector<ItemNode> eclat_item_nodes(const InvertedIndex& index, std::uint32_t min_count);

// The search itself, in parallel on the pool; `nodes` as from eclat_item_nodes, k_max >= 2.
// `index` and `nodes` are only read. Throws Panic when k_max < 2.
//
// With `all_sizes`, every frequent itemset of size 1 .. k_max (k_max >= 1) goes to
// `itemsets`, with its size in `lengths`, in ascending lexicographic order (a prefix before
// its extensions); k_max may be the u64 maximum for no limit.
//
// The search reads the index's transaction side only to rank the transactions' items, before
// any itemset is found; `rows_ranked`, when given, is called right after, so that a caller
// that reads that side no more can free it while the search runs.
EclatOut mine_eclat(const InvertedIndex& index, std::span<const ItemNode> nodes,
                    std::uint64_t k_max, std::uint32_t min_count, bool all_sizes = false,
                    const std::function<void()>& rows_ranked = {});

// The same search with each top-level item's rows kept apart: entry i holds the rows that
// start with nodes[i], so the entries in order are mine_eclat's rows in order. A `monitor`
// counts the top-level items done and the rows found, and stops the search at a limit.
std::vector<EclatOut> mine_eclat_by_item(const InvertedIndex& index,
                                         std::span<const ItemNode> nodes, std::uint64_t k_max,
                                         std::uint32_t min_count, bool all_sizes = false,
                                         RunMonitor* monitor = nullptr,
                                         const std::function<void()>& rows_ranked = {});

}  // namespace tallyfold
