#include "itemset_dict.hpp"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "result_dict.hpp"

namespace tallyfold {

namespace {
std::vector<std::int64_t> widened(const std::vector<std::uint32_t>& counts) {
  return std::vector<std::int64_t>(counts.begin(), counts.end());
}

// One int64 per item id; ids without a number are 0. A zeroed allocation leaves the pages of
// a huge, mostly unused id space untouched, and fails with MemoryError when even the address
// space is short. It is made here rather than by NumPy, which releases the interpreter lock
// around large zeroed allocations: that would let other threads run in the middle of a
// classic call, which promises to keep the lock.
PyObject* item_counts_array(const std::vector<std::uint32_t>& counts,
                            const ItemNumbering& numbering, std::uint32_t n_items) {
  auto* data = static_cast<std::int64_t*>(
      std::calloc(std::max<std::size_t>(n_items, 1), sizeof(std::int64_t)));
  if (data == nullptr) return PyErr_NoMemory();
  for (std::size_t n = 0; n < counts.size(); ++n) {
    const std::uint32_t id = numbering.caller_id(static_cast<std::uint32_t>(n));
    if (id < n_items) data[id] = counts[n];
  }
  PyObject* capsule = PyCapsule_New(data, nullptr, [](PyObject* owner) {
    std::free(PyCapsule_GetPointer(owner, nullptr));
  });
  if (capsule == nullptr) {
    std::free(data);
    return nullptr;
  }
  npy_intp length = n_items;
  return array_with_base(data, capsule, NPY_INT64, 1, &length);
}

void to_caller_ids(ItemsetRows& rows, const ItemNumbering& numbering) {
  numbering.to_caller_ids(rows.items);
}
}  // namespace

bool set_itemset_rows(ResultDict& dict, const char* itemsets_key, const char* counts_key,
                      ItemsetRows&& rows) {
  const std::size_t n_rows = rows.counts.size();
  // Rows of width 0 (a level of empty itemsets) still need a 2-D shape.
  PyObject* matrix;
  if (n_rows > 0 && rows.width == 0) {
    npy_intp dims[2] = {static_cast<npy_intp>(n_rows), 0};
    matrix = PyArray_ZEROS(2, dims, NPY_INT32, 0);
  } else {
    if (n_rows == 0) rows.items.clear();
    matrix = adopt_vector(std::move(rows.items), n_rows == 0 ? 1 : rows.width);
  }
  return dict.set(itemsets_key, matrix) && dict.set(counts_key, adopt_vector(widened(rows.counts)));
}

namespace {

ItemsetRows rows_of(ItemsetTable&& table) {
  return ItemsetRows{table.width(), table.take_items(), table.take_counts()};
}

PyObject* pipeline_dict(ItemsetRows&& final_level, ItemsetRows&& lower_level,
                        const std::vector<std::uint32_t>& item_counts,
                        const ItemNumbering& numbering,
                        const ItemNumbering& item_count_numbering, std::uint32_t n_items,
                        std::optional<std::uint32_t> n_transactions) {
  to_caller_ids(final_level, numbering);
  to_caller_ids(lower_level, numbering);
  ResultDict dict;
  if (!dict.ok() || !set_itemset_rows(dict, "itemsets", "counts", std::move(final_level)) ||
      !set_itemset_rows(dict, "lower_itemsets", "lower_counts", std::move(lower_level)) ||
      !dict.set("item_counts", item_counts_array(item_counts, item_count_numbering, n_items)))
    return nullptr;
  if (n_transactions && !dict.set("n_transactions", PyLong_FromUnsignedLong(*n_transactions)))
    return nullptr;
  return dict.release();
}

}  // namespace

bool set_itemset_block(ResultDict& dict, const char* itemsets_key, const char* counts_key,
                       ItemsetTable&& table, const ItemNumbering& numbering) {
  ItemsetRows rows = rows_of(std::move(table));
  to_caller_ids(rows, numbering);
  return set_itemset_rows(dict, itemsets_key, counts_key, std::move(rows));
}

PyObject* build_pipeline_dict(PipelineResult&& result, bool with_n_transactions) {
  return pipeline_dict(rows_of(std::move(result.final_level)),
                       rows_of(std::move(result.lower_level)), result.item_counts,
                       result.numbering, result.item_count_numbering, result.n_items,
                       with_n_transactions ? std::optional(result.n_transactions) : std::nullopt);
}

PyObject* build_pipeline_dict(ItemsetRows&& final_level, ItemsetRows&& lower_level,
                              const std::vector<std::uint32_t>& item_counts,
                              const ItemNumbering& numbering, std::uint32_t n_items,
                              std::uint32_t n_transactions) {
  return pipeline_dict(std::move(final_level), std::move(lower_level), item_counts, numbering,
                       numbering, n_items, n_transactions);
}

}  // namespace tallyfold
