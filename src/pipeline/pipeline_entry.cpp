// The level-wise pipeline functions: argument conversion, the driver with the interpreter
// lock released, and the pipeline dictionary.
#include "entry_point.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "itemset_dict.hpp"
#include "pipeline/pipeline_driver.hpp"

namespace tallyfold {

namespace {

#define PIPELINE_PARAMS                                                                    \
  {"txn_ids", "item_ids", "k_max", "n_items", "min_support", "item_weights",              \
   "max_items_per_txn"},                                                                   \
      6, {}

Signature pipeline_signature{"rust_compute_pipeline", PIPELINE_PARAMS};

template <class Run>
PyObject* run_pipeline_entry(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, Run run) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array, a[5].array})) return nullptr;
    const PipelineInput input{a.span<std::int64_t>(0), a.span<std::int32_t>(1), a[2].u64,
                              a[3].u32, a.span<double>(5), a[4].f64, a.optional_u64(6)};
    PipelineResult result;
    {
      GilReleased released;
      result = run(input);
    }
    return build_pipeline_dict(std::move(result));
  });
}

PyObject* rust_compute_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return run_pipeline_entry(pipeline_signature, args, nargs, kwnames, [](const PipelineInput& in) {
    return run_set_pipeline(in, count_k_itemsets_internal);
  });
}

}  // namespace

const EntryPoint& rust_compute_pipeline_entry() {
  static const EntryPoint entry{
      &pipeline_signature, rust_compute_pipeline,
      "rust_compute_pipeline(txn_ids, item_ids, k_max, n_items, min_support, item_weights, "
      "max_items_per_txn=None)\n--\n\n"
      "Frequent itemsets level by level, from pairs up to size k_max, by anchor and extend.\n"
      "An itemset is frequent when its count reaches ceil(min_support * number of\n"
      "transactions) (1 when min_support <= 0). With max_items_per_txn, levels 3 and up\n"
      "see each transaction cut to its max_items_per_txn heaviest items (item_weights,\n"
      "0.0 beyond its end; ties by ascending id).\n\n"
      "Returns a dict: itemsets (2-D int32, level k_max), counts (int64), lower_itemsets\n"
      "(2-D int32, level k_max - 1; the frequent pairs when k_max <= 3), lower_counts\n"
      "(int64), item_counts (int64, one per item id) and n_transactions (int). An empty\n"
      "level has shape (0, 0). Row order is unspecified."};
  return entry;
}

}  // namespace tallyfold
