// rust_eclat_pipeline: argument conversion, the index and the frequent items with the
// interpreter lock held, the search with it released, and the pipeline dictionary.
#include "common/inverted_index.hpp"
#include "common/spare_capacity.hpp"
#include "eclat/eclat.hpp"
#include "entry_point.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "itemset_dict.hpp"

namespace tallyfold {

namespace {

Signature eclat_signature{
    "rust_eclat_pipeline", {"txn_ids", "item_ids", "k_max", "n_items", "min_support"}, 5, {}};

PyObject* rust_eclat_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(eclat_signature, args, nargs, kwnames, a)) return nullptr;
    const std::uint64_t k_max = a[2].u64;
    // Checked before the arrays: a bad k_max is reported whatever else is wrong.
    if (k_max < 2) {
      PyErr_SetString(PyExc_ValueError, "rust_eclat_pipeline requires k_max >= 2");
      return nullptr;
    }
    if (!check_all_contiguous({a[0].array, a[1].array})) return nullptr;
    // The index and the item list are built before the lock is released: they are linear in
    // the input, and the search that follows is where the time goes. Both steps run on the
    // pool so that Ctrl-C reaches them.
    InvertedIndex index;
    std::uint32_t min_count = 0;
    std::vector<ItemNode> nodes;
    run_interruptible(InterpreterLock::kHeld, [&] {
      index = build_inverted_index(a.array<std::int64_t>(0), a.array<std::int32_t>(1), a[3].u32);
      min_count = eclat_min_count(a[4].f64, index.n_transactions);
      nodes = eclat_item_nodes(index, min_count);
    });
    EclatOut out;
    // Once the transactions are ranked, the index's transaction side (4 bytes a row) is read
    // no more.
    auto free_transaction_side = [&] {
      release(index.txn_items);
      release(index.txn_offsets);
    };
    run_interruptible(InterpreterLock::kReleased, [&] {
      out = mine_eclat(index, nodes, k_max, min_count, false, free_transaction_side);
    });
    // Row widths cannot overflow: rows exist only when k_max is at most the item count.
    const std::size_t width = static_cast<std::size_t>(k_max);
    return build_pipeline_dict(
        ItemsetRows{width, std::move(out.itemsets), std::move(out.counts)},
        ItemsetRows{width - 1, std::move(out.lower_itemsets), std::move(out.lower_counts)},
        index.item_counts, index.numbering, index.n_items, index.n_transactions);
  });
}

}  // namespace

const EntryPoint& rust_eclat_pipeline_entry() {
  static const EntryPoint entry{
      &eclat_signature, rust_eclat_pipeline,
      "rust_eclat_pipeline(txn_ids, item_ids, k_max, n_items, min_support)\n--\n\n"
      "Frequent itemsets of sizes k_max and k_max - 1 by Eclat: one depth-first search\n"
      "over transaction sets, from pairs to k_max (k_max >= 2, else ValueError). An itemset\n"
      "is frequent when its count reaches ceil(min_support * number of transactions), and at\n"
      "least 1. Every transaction is used whole.\n\n"
      "Returns the same dict as rust_compute_pipeline: itemsets (2-D int32, size k_max),\n"
      "counts (int64), lower_itemsets (size k_max - 1; empty when k_max = 2), lower_counts,\n"
      "item_counts (int64, one per item id) and n_transactions (int). An empty level has\n"
      "shape (0, 0). Rows are in ascending lexicographic order, whatever the thread count."};
  return entry;
}

}  // namespace tallyfold
