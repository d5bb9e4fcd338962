// rust_compute_pairs: argument conversion and the pair dictionary around the pair engine.
#include "entry_point.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "pair_dict.hpp"
#include "pairs/pair_stats.hpp"

namespace tallyfold {

namespace {

Signature signature{"rust_compute_pairs", {"txn_ids", "item_ids", "n_items", "min_support"}, 3, {}};

PyObject* rust_compute_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array})) return nullptr;
    PairStats stats;
    run_interruptible(InterpreterLock::kReleased, [&] {
      stats = compute_pair_stats(a.array<std::int64_t>(0), a.array<std::int32_t>(1), a[2].u32,
                                 a[3].f64);
    });
    return build_pair_dict(std::move(stats.rows), stats.n_transactions);
  });
}

}  // namespace

const EntryPoint& rust_compute_pairs_entry() {
  static const EntryPoint entry{
      &signature, rust_compute_pairs,
      "rust_compute_pairs(txn_ids, item_ids, n_items, min_support=0.0)\n--\n\n"
      "Every ordered pair of distinct items that occur together in at least one transaction,\n"
      "with its co-occurrence count and seven metrics: support, confidence, lift, conviction,\n"
      "leverage, cosine and jaccard.\n\n"
      "min_support > 0 drops pairs whose count is below ceil(min_support * number of\n"
      "transactions) before any metric is computed; 0.0 disables the cut. The number of\n"
      "transactions is derived from the data (distinct values of txn_ids).\n\n"
      "Returns a dict of 1-D arrays: item_A, item_B (int32), instances (int64), support,\n"
      "confidence, lift, conviction, leverage, cosine, jaccard (float64), and n_transactions\n"
      "(int). Rows come by item_A ascending, each anchor's partners in order of first\n"
      "occurrence; the order does not depend on the number of threads."};
  return entry;
}

}  // namespace tallyfold
