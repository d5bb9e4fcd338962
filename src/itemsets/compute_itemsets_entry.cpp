// rust_compute_itemsets: one level counted from the caller's frequent (k-1)-itemsets.
#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "common/cancel.hpp"
#include "common/inverted_index.hpp"
#include "common/panic.hpp"
#include "common/weight_cap.hpp"
#include "entry_point.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "itemset_dict.hpp"
#include "itemsets/count_k_itemsets.hpp"
#include "py_ref.hpp"
#include "result_dict.hpp"

namespace tallyfold {

namespace {

Signature signature{"rust_compute_itemsets",
                    {"txn_ids", "item_ids", "freq_lower", "k", "n_items", "item_weights",
                     "max_items_per_txn"},
                    6,
                    {}};

// The rows of freq_lower, read once and checked as they are copied: row j is the k-1 values
// from position j*(k-1) of the array's values in row-major order. A row that runs past the
// end of the data is an internal fault, and so is a value outside 0..n_items-1, reported as
// for an item id.
struct FrequentRows {
  std::size_t n_rows = 0;
  std::size_t width = 0;
  std::vector<std::uint32_t> items;  // rows back to back
};

FrequentRows read_frequent_rows(CallerArray<std::int32_t> values, std::size_t n_rows,
                                std::uint64_t k, std::uint32_t n_items) {
  if (n_rows > 0 && k == 0)
    throw Panic("attempt to subtract with overflow: the row width k - 1 is negative for k = 0");
  const std::uint64_t width = k == 0 ? 0 : k - 1;
  FrequentRows rows;
  rows.n_rows = n_rows;
  rows.width = static_cast<std::size_t>(width);
  for (std::uint64_t j = 0; j < n_rows; ++j) {
    throw_if_cancelled_every(j);
    // start = j * width and end = start + width, checked so that a huge k cannot wrap
    // around into a short, wrongly placed row; an overflowing end is reported saturated.
    std::uint64_t start = 0, end = 0;
    const bool overflow =
        __builtin_mul_overflow(j, width, &start) || __builtin_add_overflow(start, width, &end);
    if (overflow) end = std::numeric_limits<std::uint64_t>::max();
    if (end > values.size()) panic_range_end(end, values.size());
    for (std::uint64_t p = start; p < end; ++p) {
      const std::int32_t item = values.load(p);
      const auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(item));
      if (widened >= n_items) panic_index_out_of_bounds(n_items, widened);
      rows.items.push_back(static_cast<std::uint32_t>(item));
    }
  }
  return rows;
}

// The frequent set in the index's item numbers, in the order given and not re-sorted;
// duplicate rows collapse. An id that occurs in no row of the data has no number and becomes
// item_space, a number that occurs nowhere, so its rows still match no transaction and still
// give pairs to the pair set. The rows are sorted to find the duplicates, so the set needs no
// hash index (the counters read it in this order), and the copy read from the caller goes
// as soon as the set is built.
ItemsetTable frequent_set_from(FrequentRows rows, const InvertedIndex& index) {
  if (!index.numbering.is_identity())
    for (std::uint32_t& item : rows.items) item = index.numbering.number_of(item, index.item_space);
  const std::size_t width = rows.width;
  std::vector<std::uint32_t> items, counts;
  if (width == 0) {
    if (rows.n_rows > 0) counts.push_back(0);  // every row is the empty itemset
    return ItemsetTable::from_distinct_rows(0, std::move(items), std::move(counts));
  }
  const std::vector<std::uint32_t> order = lexicographic_order(rows.items.data(), width, rows.n_rows);
  for (std::uint32_t r : order) {
    throw_if_cancelled_every(counts.size());
    const std::uint32_t* row = rows.items.data() + std::size_t{r} * width;
    if (!counts.empty() && std::equal(row, row + width, items.end() - static_cast<std::ptrdiff_t>(width)))
      continue;
    items.insert(items.end(), row, row + width);
    counts.push_back(0);
  }
  return ItemsetTable::from_sorted_distinct_rows(width, std::move(items), std::move(counts));
}

// The set is in lexicographic order, so a row shares a prefix with the row before it, whose
// pairs were met there already: only pairs reaching past it are passed on.
PairSet pairs_within(const ItemsetTable& frequent) {
  return PairSet::of_pairs([&](auto&& emit) {
    for (std::size_t r = 0; r < frequent.size(); ++r) {
      throw_if_cancelled_every(r);
      const auto s = frequent.row(r);
      std::size_t shared = 0;
      if (r > 0) {
        const auto before = frequent.row(r - 1);
        while (shared < s.size() && s[shared] == before[shared]) ++shared;
      }
      for (std::size_t j = std::max<std::size_t>(shared, 1); j < s.size(); ++j)
        for (std::size_t i = 0; i < j; ++i) emit(s[i], s[j]);
    }
  });
}

PyObject* rust_compute_itemsets(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array, a[5].array, a[2].array})) return nullptr;
    // A column-major freq_lower is read by its logical rows, as its row-major copy would be.
    PyArrayObject* freq = a[2].array;
    PyRef row_major;
    if (!PyArray_IS_C_CONTIGUOUS(freq)) {
      row_major = PyRef(PyArray_NewCopy(freq, NPY_CORDER));
      if (!row_major) return nullptr;
      freq = reinterpret_cast<PyArrayObject*>(row_major.get());
    }
    // Read from the caller's array with the lock held, as the conversion is.
    FrequentRows rows = read_frequent_rows(
        CallerArray<std::int32_t>(PyArray_DATA(freq), static_cast<std::size_t>(PyArray_SIZE(freq))),
        static_cast<std::size_t>(PyArray_DIM(freq, 0)), a[3].u64, a[4].u32);
    row_major = PyRef();
    ItemsetTable level{0};
    ItemNumbering numbering;
    run_interruptible(InterpreterLock::kReleased, [&] {
      const InvertedIndex index =
          build_inverted_index(a.array<std::int64_t>(0), a.array<std::int32_t>(1), a[4].u32);
      const ItemsetTable frequent = frequent_set_from(std::exchange(rows, {}), index);
      const PairSet pairs = pairs_within(frequent);
      const std::optional<std::uint64_t> cap = a.optional_u64(6);
      const std::vector<double> weights =
          cap ? weights_by_number(a.array<double>(5), index.numbering, index.item_space)
              : std::vector<double>{};
      // Internal numbers keep the order of ids, so this is the order of the caller's ids too.
      level = count_k_itemsets_internal(LevelInput{
                  index, frequent, pairs, static_cast<std::size_t>(a[3].u64), weights, cap, 0})
                  .in_lexicographic_order();
      numbering = index.numbering;
    });
    ResultDict dict;
    if (!dict.ok() || !set_itemset_block(dict, "itemsets", "counts", std::move(level), numbering))
      return nullptr;
    return dict.release();
  });
}

}  // namespace

const EntryPoint& rust_compute_itemsets_entry() {
  static const EntryPoint entry{
      &signature, rust_compute_itemsets,
      "rust_compute_itemsets(txn_ids, item_ids, freq_lower, k, n_items, item_weights, "
      "max_items_per_txn=None)\n--\n\n"
      "Counts of the k-itemsets (k >= 3) that extend one of the caller's frequent\n"
      "(k-1)-itemsets (the rows of freq_lower, ascending ids) by one item, by anchor and\n"
      "extend, in parallel. A candidate is kept only if each of its pairs with the anchor's\n"
      "items is a 2-subset of some row of freq_lower. No support threshold is applied.\n"
      "Ids in freq_lower must lie in 0..n_items-1, as item ids do (PanicException).\n\n"
      "Returns a dict: itemsets (2-D int32, shape (0, 0) when empty) and counts (int64).\n"
      "Rows are in ascending lexicographic order, the same for every run and any number\n"
      "of threads."};
  return entry;
}

}  // namespace tallyfold
