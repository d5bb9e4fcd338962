// keep_target: the closed or maximal rows of a complete itemset table that the caller
// assembled (for example from counts summed over parts of the transactions).
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "allsizes/closed_maximal.hpp"
#include "common/thread_limit.hpp"
#include "engine_entry_points.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "result_dict.hpp"
#include "row_arrays.hpp"

namespace tallyfold {

namespace {

Signature keep_signature{"keep_target",
                         {"items", "offsets", "counts", "target", "threads"},
                         5,
                         {},
                         true};

PyObject* keep_target_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(keep_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array, a[2].array})) return nullptr;
    const std::vector<std::int32_t> items = a.copy<std::int32_t>(0);
    const std::vector<std::int64_t> offsets = a.copy<std::int64_t>(1);
    const std::vector<std::int64_t> counts = a.copy<std::int64_t>(2);
    if (!check_row_offsets(offsets, items.size())) return nullptr;
    if (counts.size() + 1 != offsets.size()) {
      PyErr_Format(PyExc_ValueError, "counts must have one entry per row (%zu); got %zu",
                   offsets.size() - 1, counts.size());
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(a[3].object, &size);
    if (text == nullptr) return nullptr;
    const auto target = target_by_name(std::string_view(text, static_cast<std::size_t>(size)));
    if (!target) {
      PyErr_Format(PyExc_ValueError, "target must be one of 'all', 'closed', 'maximal'; got %R",
                   a[3].object);
      return nullptr;
    }
    ItemsetCsr table;
    table.items.assign(items.begin(), items.end());
    table.offsets.assign(offsets.begin(), offsets.end());
    table.counts.assign(counts.begin(), counts.end());
    ItemsetCsr kept;
    {
      GilReleased released;
      run_with_threads(a[4].u32, [&] { kept = keep_target(std::move(table), *target); });
    }
    // The filter keeps the row order, so the kept rows are found again by one forward walk.
    const ItemsetCsrView all{
        {reinterpret_cast<const std::uint32_t*>(items.data()), items.size()}, offsets};
    std::vector<std::int64_t> positions;
    positions.reserve(kept.size());
    std::size_t r = 0;
    for (std::size_t k = 0; k < kept.size(); ++k) {
      const auto row = kept.row(k);
      while (r < all.size() && !std::ranges::equal(all.row(r), row)) ++r;
      positions.push_back(static_cast<std::int64_t>(r++));
    }
    return adopt_vector(std::move(positions));
  });
}

}  // namespace

const EntryPoint& keep_target_entry() {
  static const EntryPoint entry{
      &keep_signature, keep_target_call,
      "keep_target(items, offsets, counts, target, threads)\n"
      "--\n\n"
      "The rows of an itemset table that are closed or maximal.\n"
      "Itemset r is items[offsets[r]:offsets[r+1]] (ids ascending) with counts[r]\n"
      "transactions; the table must hold every one-item-smaller subset of each row (as a\n"
      "complete frequent-itemset result does), else PanicException. target 'closed' keeps\n"
      "rows no one-item-larger row of which has the same count, 'maximal' rows without a\n"
      "one-item-larger row, 'all' every row. threads bounds the pool (0: all cores).\n\n"
      "Returns the kept row numbers (int64, ascending)."};
  return entry;
}

}  // namespace tallyfold
