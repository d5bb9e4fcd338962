// The classic Apriori functions: argument conversion and result dictionaries. Unlike every
// other engine these keep the interpreter lock for the whole call, pool work included; the
// pool's workers never touch Python objects. The calling thread still looks at the
// interpreter's signals while it waits, so Ctrl-C stops these calls too; garbage collection
// is paused for the call, since its finalizers could release the lock in the middle of it.
#include "classic/classic_engines.hpp"
#include "entry_point.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "interruptible.hpp"
#include "itemset_dict.hpp"
#include "pair_dict.hpp"

namespace tallyfold {

namespace {

Signature pairs_signature{
    "rust_classic_compute_pairs",
    {"txn_ids", "item_ids", "n_items", "n_transactions", "min_support"}, 5, {}};

Signature pipeline_signature{"rust_classic_compute_pipeline",
                             {"txn_ids", "item_ids", "k_max", "n_items", "_n_transactions",
                              "min_support", "item_weights", "max_items_per_txn"},
                             7,
                             {}};

PyObject* rust_classic_compute_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(pairs_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array})) return nullptr;
    const GcPaused no_collection;
    PairOut rows;
    run_interruptible(InterpreterLock::kHeld, [&] {
      rows = classic_compute_pairs(a.array<std::int64_t>(0), a.array<std::int32_t>(1), a[2].u32,
                                   a[3].u32, a[4].f64);
    });
    return build_pair_dict(std::move(rows), std::nullopt);
  });
}

PyObject* rust_classic_compute_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(pipeline_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array, a[6].array})) return nullptr;
    // _n_transactions (a[4]) is converted and range-checked by the binder, then not used.
    const PipelineInput input{a.array<std::int64_t>(0), a.array<std::int32_t>(1), a[2].u64,
                              a[3].u32, a.array<double>(6), a[5].f64, a.optional_u64(7)};
    const GcPaused no_collection;
    PipelineResult result;
    run_interruptible(InterpreterLock::kHeld, [&] {
      result = classic_compute_pipeline(input);
      order_levels(result);
    });
    return build_pipeline_dict(std::move(result), /*with_n_transactions=*/false);
  });
}

}  // namespace

const EntryPoint& rust_classic_compute_pairs_entry() {
  static const EntryPoint entry{
      &pairs_signature, rust_classic_compute_pairs,
      "rust_classic_compute_pairs(txn_ids, item_ids, n_items, n_transactions, min_support)\n"
      "--\n\n"
      "Frequent pairs by classic Apriori, with the seven metrics of rust_compute_pairs.\n"
      "A pair is frequent when its count reaches ceil(min_support * distinct transactions\n"
      "in txn_ids) (1 when min_support <= 0). Supports divide by n_transactions as given,\n"
      "which is not checked against the data. Holds the GIL for the whole call.\n\n"
      "Returns a dict of ten 1-D arrays: item_A, item_B (int32), instances (int64), support,\n"
      "confidence, lift, conviction, leverage, cosine, jaccard (float64); no n_transactions.\n"
      "Each pair gives two adjacent rows, the smaller item as item_A first; pairs come in\n"
      "ascending order."};
  return entry;
}

const EntryPoint& rust_classic_compute_pipeline_entry() {
  static const EntryPoint entry{
      &pipeline_signature, rust_classic_compute_pipeline,
      "rust_classic_compute_pipeline(txn_ids, item_ids, k_max, n_items, _n_transactions, "
      "min_support, item_weights, max_items_per_txn=None)\n--\n\n"
      "Frequent itemsets by classic Apriori from single items up to size k_max: candidates\n"
      "by prefix join, pruned by their subsets, counted by transaction-list intersection.\n"
      "An itemset is frequent when its count reaches ceil(min_support * distinct\n"
      "transactions) (1 when min_support <= 0). With max_items_per_txn, every transaction\n"
      "is first cut to its max_items_per_txn heaviest items (item_weights, 0.0 beyond its\n"
      "end; ties by ascending id). _n_transactions is range-checked and otherwise unused.\n"
      "Item ids are not checked against n_items. Holds the GIL for the whole call.\n\n"
      "Returns a dict: itemsets (2-D int32, level k_max), counts (int64), lower_itemsets\n"
      "(2-D int32, level k_max - 1), lower_counts (int64) and item_counts (int64, one per\n"
      "item id below n_items: the counts of the frequent items, or of every item when none\n"
      "is frequent). An empty level has shape (0, 0). Rows are in ascending lexicographic\n"
      "order of the ids read as unsigned 32-bit values (negative ids sort last)."};
  return entry;
}

}  // namespace tallyfold
