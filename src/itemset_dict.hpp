#pragma once
// Result dictionaries of the itemset engines.
#include <cstdint>
#include <optional>
#include <vector>

#include "common/item_numbering.hpp"
#include "common/itemset_table.hpp"
#include "numpy_api.hpp"
#include "pipeline/pipeline_driver.hpp"

namespace tallyfold {

// Rows of `width` ids each, stored back to back, with one count per row, in emission order.
struct ItemsetRows {
  std::size_t width = 0;
  std::vector<std::uint32_t> items;
  std::vector<std::uint32_t> counts;
};

// Sets "<prefix>itemsets" (2-D int32, shape (0, 0) when empty) and "<prefix>counts" (int64).
// The rows are taken over as they are, without hashing or copying them row by row.
class ResultDict;
bool set_itemset_rows(ResultDict& dict, const char* itemsets_key, const char* counts_key,
                      ItemsetRows&& rows);
// Item numbers of `table` are translated to caller ids by `numbering`.
bool set_itemset_block(ResultDict& dict, const char* itemsets_key, const char* counts_key,
                       ItemsetTable&& table, const ItemNumbering& numbering);

// The pipeline schema: itemsets, counts, lower_itemsets, lower_counts, item_counts and,
// when given, n_transactions.
PyObject* build_pipeline_dict(PipelineResult&& result, bool with_n_transactions = true);

// The same schema from rows already in their final order. Rows and `item_counts` are by item
// number of `numbering`; ids without a number count 0.
PyObject* build_pipeline_dict(ItemsetRows&& final_level, ItemsetRows&& lower_level,
                              const std::vector<std::uint32_t>& item_counts,
                              const ItemNumbering& numbering, std::uint32_t n_items,
                              std::uint32_t n_transactions);

}  // namespace tallyfold
