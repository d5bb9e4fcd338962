// The level-wise pipeline functions: argument conversion, the driver with the interpreter
// lock released, and the pipeline dictionary.
#include <string>

#include "entry_point.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "itemset_dict.hpp"
#include "pipeline/memo_pipeline.hpp"
#include "pipeline/pipeline_driver.hpp"

namespace tallyfold {

namespace {

constexpr std::size_t kRequired = 6;

Signature make_signature(const char* name) {
  return Signature{name,
                   {"txn_ids", "item_ids", "k_max", "n_items", "min_support", "item_weights",
                    "max_items_per_txn"},
                   kRequired,
                   {}};
}

using PipelineRun = PipelineResult (*)(const PipelineInput&);

// Binding, contiguity (txn_ids, item_ids, item_weights), the driver on the pool with the
// interpreter lock released, then the result dictionary: the same for every pipeline.
PyObject* run_pipeline_entry(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PipelineRun run) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array, a[5].array})) return nullptr;
    const PipelineInput input{a.array<std::int64_t>(0), a.array<std::int32_t>(1), a[2].u64,
                              a[3].u32, a.array<double>(5), a[4].f64, a.optional_u64(6)};
    PipelineResult result;
    run_interruptible(InterpreterLock::kReleased, [&] {
      result = run(input);
      order_levels(result);
    });
    return build_pipeline_dict(std::move(result));
  });
}

PipelineResult run_baseline(const PipelineInput& in) {
  return run_set_pipeline(in, count_k_itemsets_internal);
}
PipelineResult run_v1_roaring(const PipelineInput& in) {
  return run_set_pipeline(in, count_k_itemsets_v1_roaring);
}

constexpr const char* kSignatureTail =
    "(txn_ids, item_ids, k_max, n_items, min_support, item_weights, max_items_per_txn=None)"
    "\n--\n\n";

constexpr const char* kResultText =
    "Returns a dict: itemsets (2-D int32, level k_max), counts (int64), lower_itemsets\n"
    "(2-D int32, level k_max - 1; the frequent pairs when k_max <= 3), lower_counts\n"
    "(int64), item_counts (int64, one per item id) and n_transactions (int). An empty\n"
    "level has shape (0, 0). Rows are in ascending lexicographic order, the same for\n"
    "every run and any number of threads.";

// One exported pipeline: its signature, its driver and its docstring.
template <PipelineRun Run>
struct Pipeline {
  static Signature signature;
  static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_pipeline_entry(signature, args, nargs, kwnames, Run);
  }
  static const EntryPoint& entry(const char* name, const char* gist) {
    static const std::string doc = std::string(name) + kSignatureTail + gist + "\n\n" + kResultText;
    signature = make_signature(name);
    static const EntryPoint point{&signature, call, doc.c_str()};
    return point;
  }
};
template <PipelineRun Run>
Signature Pipeline<Run>::signature{nullptr, {}, 0, {}};

}  // namespace

const EntryPoint& rust_compute_pipeline_entry() {
  return Pipeline<run_baseline>::entry(
      "rust_compute_pipeline",
      "Frequent itemsets level by level, from pairs up to size k_max, by anchor and extend.\n"
      "An itemset is frequent when its count reaches ceil(min_support * number of\n"
      "transactions) (1 when min_support <= 0). With max_items_per_txn, levels 3 and up\n"
      "see each transaction cut to its max_items_per_txn heaviest items (item_weights,\n"
      "0.0 beyond its end; ties by ascending id).");
}

const EntryPoint& rust_compute_pipeline_v1_roaring_entry() {
  return Pipeline<run_v1_roaring>::entry(
      "rust_compute_pipeline_v1_roaring",
      "The level-wise pipeline of rust_compute_pipeline, same arguments and results, with\n"
      "each anchor's transactions held as a Roaring bitmap.");
}

const EntryPoint& rust_compute_pipeline_v2_memo_entry() {
  return Pipeline<run_v2_memo_pipeline>::entry(
      "rust_compute_pipeline_v2_memo",
      "The level-wise pipeline of rust_compute_pipeline, same arguments and results, carrying\n"
      "each frequent itemset's transaction bitmap from level to level instead of finding\n"
      "its transactions anew.");
}

const EntryPoint& rust_compute_pipeline_v3_adaptive_entry() {
  return Pipeline<run_v3_adaptive_pipeline>::entry(
      "rust_compute_pipeline_v3_adaptive",
      "As rust_compute_pipeline_v2_memo, with adaptive transaction lists: plain sequences up\n"
      "to 32 transactions, Roaring bitmaps beyond.");
}

const EntryPoint& rust_compute_pipeline_v5_prefilter_entry() {
  return Pipeline<run_v5_prefilter_pipeline>::entry(
      "rust_compute_pipeline_v5_prefilter",
      "As rust_compute_pipeline_v3_adaptive, with the pair check made before an item is\n"
      "counted instead of after.");
}

const EntryPoint& rust_compute_pipeline_v6_gating_entry() {
  return Pipeline<run_v6_gating_pipeline>::entry(
      "rust_compute_pipeline_v6_gating",
      "As rust_compute_pipeline_v3_adaptive, with a per-anchor candidate set built from the\n"
      "frequent-pair neighbours of the anchor's items.");
}

}  // namespace tallyfold
