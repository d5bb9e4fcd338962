// count_itemsets: argument checks and copies with the interpreter lock held, the index build
// and the counting with it released (inside a task arena when the call bounds its threads),
// stopped by Ctrl-C like every other engine call.
#include <cstdint>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/thread_limit.hpp"
#include "counting/candidate_counts.hpp"
#include "engine_entry_points.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "result_dict.hpp"
#include "row_arrays.hpp"

namespace tallyfold {

namespace {

Signature count_signature{"count_itemsets",
                          {"txn_ids", "item_ids", "n_items", "items", "offsets", "threads"},
                          6,
                          {},
                          true};

// Every id of a row in 0 .. n_items - 1 and above the one before it; otherwise ValueError
// naming the first bad entry.
bool check_candidate_rows(const std::vector<std::int32_t>& items,
                          const std::vector<std::int64_t>& offsets, std::uint32_t n_items) {
  for (std::size_t r = 0; r + 1 < offsets.size(); ++r) {
    for (std::int64_t k = offsets[r]; k < offsets[r + 1]; ++k) {
      const std::int32_t id = items[static_cast<std::size_t>(k)];
      if (id < 0 || static_cast<std::uint32_t>(id) >= n_items) {
        PyErr_Format(PyExc_ValueError,
                     "items[%lld] = %d is outside 0..n_items-1 (n_items = %u)",
                     static_cast<long long>(k), static_cast<int>(id),
                     static_cast<unsigned>(n_items));
        return false;
      }
      if (k > offsets[r] && id <= items[static_cast<std::size_t>(k - 1)]) {
        PyErr_Format(PyExc_ValueError,
                     "items of row %zu must be strictly ascending; items[%lld] = %d follows %d",
                     r, static_cast<long long>(k), static_cast<int>(id),
                     static_cast<int>(items[static_cast<std::size_t>(k - 1)]));
        return false;
      }
    }
  }
  return true;
}

PyObject* count_itemsets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(count_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array, a[3].array, a[4].array})) return nullptr;
    const CallerArray<std::int64_t> txn_ids = a.array<std::int64_t>(0);
    const CallerArray<std::int32_t> item_ids = a.array<std::int32_t>(1);
    const std::uint32_t n_items = a[2].u32;
    if (txn_ids.size() != item_ids.size()) {
      PyErr_Format(PyExc_ValueError,
                   "txn_ids and item_ids must have the same length; got %zu and %zu",
                   txn_ids.size(), item_ids.size());
      return nullptr;
    }
    if (!check_item_ids(item_ids, n_items)) return nullptr;
    // The candidate table is read many times: it is copied once, here.
    const std::vector<std::int32_t> items = a.copy<std::int32_t>(3);
    const std::vector<std::int64_t> offsets = a.copy<std::int64_t>(4);
    if (!check_row_offsets(offsets, items.size()) ||
        !check_candidate_rows(items, offsets, n_items))
      return nullptr;
    const ItemsetCsrView candidates{
        {reinterpret_cast<const std::uint32_t*>(items.data()), items.size()}, offsets};

    std::vector<std::int64_t> counts;
    run_interruptible(InterpreterLock::kReleased, [&] {
      run_with_threads(a[5].u32, [&] {
        const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
        counts = count_candidates(index, candidates);
      });
    });
    return adopt_vector(std::move(counts));
  });
}

}  // namespace

const EntryPoint& count_itemsets_entry() {
  static const EntryPoint entry{
      &count_signature, count_itemsets,
      "count_itemsets(txn_ids, item_ids, n_items, items, offsets, threads)\n"
      "--\n\n"
      "The number of transactions holding every item of each given itemset.\n"
      "Rows (txn_ids[r], item_ids[r]) put item ids (0..n_items-1, else ValueError) in\n"
      "transactions; a repeated row counts once. The itemsets are rows of a table: itemset r\n"
      "is items[offsets[r]:offsets[r+1]], ids strictly ascending within a row (else\n"
      "ValueError); an empty row counts every transaction. Rows in ascending lexicographic\n"
      "order (as mine_itemsets returns them) share the work of common prefixes. threads\n"
      "bounds the pool for this call (0: all cores).\n\n"
      "Returns an int64 array with one count per row. Counts over disjoint sets of\n"
      "transactions add up to the count over their union."};
  return entry;
}

}  // namespace tallyfold
