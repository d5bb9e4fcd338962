#pragma once
// Result dictionaries of the itemset engines.
#include <optional>

#include "common/itemset_table.hpp"
#include "numpy_api.hpp"
#include "pipeline/pipeline_driver.hpp"

namespace tallyfold {

// Sets "<prefix>itemsets" (2-D int32, shape (0, 0) when empty) and "<prefix>counts" (int64).
class ResultDict;
bool set_itemset_block(ResultDict& dict, const char* itemsets_key, const char* counts_key,
                       ItemsetTable&& table);

// The pipeline schema: itemsets, counts, lower_itemsets, lower_counts, item_counts and,
// when given, n_transactions.
PyObject* build_pipeline_dict(PipelineResult&& result, bool with_n_transactions = true);

}  // namespace tallyfold
