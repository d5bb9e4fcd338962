#include "row_arrays.hpp"

namespace tallyfold {

bool check_row_offsets(std::span<const std::int64_t> offsets, std::size_t n_items) {
  if (offsets.empty()) {
    PyErr_SetString(PyExc_ValueError, "offsets must have at least one entry (n + 1 for n rows)");
    return false;
  }
  for (std::size_t r = 0; r < offsets.size(); ++r) {
    const std::int64_t o = offsets[r];
    if (o < 0 || static_cast<std::uint64_t>(o) > n_items || (r > 0 && o < offsets[r - 1])) {
      PyErr_Format(PyExc_ValueError,
                   "offsets[%zu] = %lld is below the entry before it or outside "
                   "0..len(items) = %zu",
                   r, static_cast<long long>(o), n_items);
      return false;
    }
  }
  return true;
}

bool check_item_ids(CallerArray<std::int32_t> item_ids, std::uint32_t n_items) {
  for (std::size_t r = 0; r < item_ids.size(); ++r) {
    const std::int32_t id = item_ids.load(r);
    if (id < 0 || static_cast<std::uint32_t>(id) >= n_items) {
      PyErr_Format(PyExc_ValueError,
                   "item_ids[%zu] = %d is outside 0..n_items-1 (n_items = %u)", r,
                   static_cast<int>(id), static_cast<unsigned>(n_items));
      return false;
    }
  }
  return true;
}

}  // namespace tallyfold
