// mine_itemsets: argument checks with the interpreter lock held, the miner with it released
// (inside a task arena when the call bounds its threads), then the result arrays, which take
// over the engine's buffers.
#include <string>
#include <string_view>

#include "allsizes/all_sizes.hpp"
#include "common/thread_limit.hpp"
#include "engine_entry_points.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "py_ref.hpp"
#include "result_dict.hpp"
#include "row_arrays.hpp"

namespace tallyfold {

namespace {

Signature mine_signature{"mine_itemsets",
                         {"txn_ids", "item_ids", "n_items", "min_count", "max_len", "algorithm",
                          "target", "threads", "max_itemsets", "max_bytes", "progress"},
                         8,
                         {},
                         true};

// The memory a run is charged for, as the package holds its result: per itemset the engine's
// row (offset, count, length) and the package's frozenset, object slot, three number columns
// and the sort order; per item of an itemset its id in the engine's buffers and a slot of the
// frozenset's table. The working data (index, ranked copy, projections) is charged per input
// row. These are estimates within a small factor, not measurements: enough to stop a run
// that is heading for gigabytes while it is still cheap to stop.
constexpr std::uint64_t kBytesPerInputRow = 32;
constexpr std::uint64_t kBytesPerItemset = 280;
constexpr std::uint64_t kBytesPerItemsetItem = 24;

// Forwards the monitor's counters to the caller's progress callable, with the interpreter
// lock held, when they have changed: progress(done, total, levels_done, itemsets_found).
class ProgressForwarder {
 public:
  ProgressForwarder(PyObject* callable, const RunMonitor& monitor)
      : callable_(callable), monitor_(monitor) {}
  bool operator()() {
    const std::uint64_t done = monitor_.units_done(), found = monitor_.itemsets_found();
    if (done == last_done_ && found == last_found_) return true;
    last_done_ = done;
    last_found_ = found;
    PyObject* result = PyObject_CallFunction(
        callable_, "KKKK", static_cast<unsigned long long>(done),
        static_cast<unsigned long long>(monitor_.units_total()),
        static_cast<unsigned long long>(monitor_.levels_done()),
        static_cast<unsigned long long>(found));
    Py_XDECREF(result);
    return result != nullptr;
  }

 private:
  PyObject* callable_;
  const RunMonitor& monitor_;
  std::uint64_t last_done_ = ~std::uint64_t{0};
  std::uint64_t last_found_ = ~std::uint64_t{0};
};

// LimitReached(kind, levels_done, itemsets_found, bytes_estimate, done, total), which the
// package turns into its own exception with advice in its own terms.
void raise_limit_reached(const LimitReached& limit, const RunMonitor& monitor) {
  PyRef args(Py_BuildValue("(sKKKKK)", limit.kind == LimitKind::Itemsets ? "itemsets" : "memory",
                           static_cast<unsigned long long>(limit.levels_done),
                           static_cast<unsigned long long>(limit.itemsets_found),
                           static_cast<unsigned long long>(limit.bytes_estimate),
                           static_cast<unsigned long long>(monitor.units_done()),
                           static_cast<unsigned long long>(monitor.units_total())));
  if (args) PyErr_SetObject(limit_reached_type(), args.get());
}

// `value` looked up among `names`; otherwise ValueError "<param> must be one of ...".
template <std::size_t N, class Lookup>
bool choice(PyObject* value, const char* param, const std::string_view (&names)[N],
            Lookup lookup, decltype(lookup(std::string_view{}))& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  out = lookup(std::string_view(text, static_cast<std::size_t>(size)));
  if (out) return true;
  std::string listed;
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) listed += ", ";
    listed += "'" + std::string(names[i]) + "'";
  }
  PyErr_Format(PyExc_ValueError, "%s must be one of %s; got %R", param, listed.c_str(), value);
  return false;
}

PyObject* item_counts_array(const std::vector<std::uint32_t>& counts,
                            const ItemNumbering& numbering, std::uint32_t n_items) {
  npy_intp length = n_items;
  PyObject* array = PyArray_ZEROS(1, &length, NPY_INT64, 0);
  if (array == nullptr) return nullptr;
  auto* data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const std::uint32_t id = numbering.caller_id(static_cast<std::uint32_t>(i));
    if (id < n_items) data[id] = counts[i];
  }
  return array;
}

PyObject* mine_itemsets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(mine_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array})) return nullptr;
    AllSizesRequest request;
    request.txn_ids = a.array<std::int64_t>(0);
    request.item_ids = a.array<std::int32_t>(1);
    request.n_items = a[2].u32;
    request.min_count = a[3].u32;
    request.max_len = a[4].u64;
    if (request.txn_ids.size() != request.item_ids.size()) {
      PyErr_Format(PyExc_ValueError,
                   "txn_ids and item_ids must have the same length; got %zu and %zu",
                   request.txn_ids.size(), request.item_ids.size());
      return nullptr;
    }
    if (request.min_count < 1) {
      PyErr_SetString(PyExc_ValueError, "min_count must be at least 1; got 0");
      return nullptr;
    }
    std::optional<Algorithm> algorithm;
    std::optional<Target> target;
    if (!choice(a[5].object, "algorithm", kAlgorithmNames, algorithm_by_name, algorithm) ||
        !choice(a[6].object, "target", kTargetNames, target_by_name, target) ||
        !check_item_ids(request.item_ids, request.n_items))
      return nullptr;
    request.algorithm = *algorithm;
    request.target = *target;

    RunMonitor::Limits limits;
    limits.max_itemsets = a[8].present ? a[8].u64 : 0;
    limits.max_bytes = a[9].present ? a[9].u64 : 0;
    limits.base_bytes = kBytesPerInputRow * request.txn_ids.size();
    limits.row_bytes = kBytesPerItemset;
    limits.item_bytes = kBytesPerItemsetItem;
    RunMonitor monitor(limits);
    request.monitor = &monitor;
    PyObject* progress = a[10].present ? a[10].object : nullptr;
    ProgressForwarder forward(progress, monitor);

    AllSizesResult result;
    try {
      run_interruptible(
          InterpreterLock::kReleased,
          [&] { run_with_threads(a[7].u32, [&] { result = mine_all_sizes(request); }); },
          progress != nullptr ? WaitHook(std::ref(forward)) : WaitHook());
    } catch (const LimitReached& limit) {
      raise_limit_reached(limit, monitor);
      return nullptr;
    }
    // The last counters, which a run shorter than one look at the signals never showed.
    if (progress != nullptr && !forward()) return nullptr;
    ResultDict dict;
    if (!dict.ok() || !dict.set("items", adopt_vector(std::move(result.itemsets.items))) ||
        !dict.set("offsets", adopt_vector(std::move(result.itemsets.offsets))) ||
        !dict.set("counts", adopt_vector(std::move(result.itemsets.counts))) ||
        !dict.set("item_counts", item_counts_array(result.item_counts, result.numbering, request.n_items)) ||
        !dict.set("n_transactions", PyLong_FromUnsignedLong(result.n_transactions)))
      return nullptr;
    return dict.release();
  });
}

}  // namespace

const EntryPoint& mine_itemsets_entry() {
  static const EntryPoint entry{
      &mine_signature, mine_itemsets,
      "mine_itemsets(txn_ids, item_ids, n_items, min_count, max_len, algorithm, target, threads,\n"
      "              max_itemsets=0, max_bytes=0, progress=None)\n"
      "--\n\n"
      "Every frequent itemset of every size 1..max_len (max_len 0: no limit) in one pass.\n"
      "Rows (txn_ids[r], item_ids[r]) put item ids (0..n_items-1, else ValueError) in\n"
      "transactions; a repeated row counts once. An itemset is frequent when at least\n"
      "min_count (>= 1) transactions hold all its items. target 'all' keeps every frequent\n"
      "itemset, 'closed' those with no proper superset of the same count, 'maximal' those\n"
      "with no frequent proper superset (supersets up to max_len). algorithm is 'auto',\n"
      "'eclat', 'pipeline', 'v1_roaring', 'v2_memo', 'v3_adaptive', 'v5_prefilter',\n"
      "'v6_gating' or 'classic': all give the same result. threads bounds the pool for this\n"
      "call (0: all cores).\n\n"
      "max_itemsets and max_bytes (0: none) stop a run whose itemsets, or whose estimated\n"
      "memory with the result held as the package holds it, would exceed them: LimitReached\n"
      "(kind 'itemsets' or 'memory', levels_done, itemsets_found, bytes_estimate, done, total)\n"
      "is raised, never a partial result. progress(done, total, levels_done, itemsets_found)\n"
      "is called about every 50 ms while counters change (top-level items or levels done;\n"
      "total 0 when unknown); an exception it raises stops the run. Ctrl-C stops it too.\n\n"
      "Returns a dict: items (int32, every itemset's ids, ascending within an itemset, back\n"
      "to back), offsets (int64, n + 1 entries: itemset r is items[offsets[r]:offsets[r+1]]),\n"
      "counts (int64, n), item_counts (int64, transactions per item id, n_items entries) and\n"
      "n_transactions (int). Itemsets come in ascending lexicographic order of their id\n"
      "sequences, a prefix before its extensions, whatever the algorithm or thread count."};
  return entry;
}

}  // namespace tallyfold
