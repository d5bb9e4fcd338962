#include "common/input_rows.hpp"

#include <algorithm>

#include "common/inverted_index.hpp"
#include "common/panic.hpp"

namespace tallyfold {

InputRows read_rows(CallerArray<std::int64_t> txn_ids, CallerArray<std::int32_t> item_ids,
                    std::optional<std::uint32_t> n_items) {
  const std::size_t rows = txn_ids.size();
  check_row_limit(rows);
  InputRows out;
  out.txn_ids.resize(rows);
  out.item_ids.resize(rows);
  std::uint32_t largest = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    if (r >= item_ids.size()) panic_index_out_of_bounds(item_ids.size(), r);
    const std::int32_t item = item_ids.load(r);
    if (n_items) {
      const auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(item));
      if (widened >= *n_items) panic_index_out_of_bounds(*n_items, widened);
    }
    out.item_ids[r] = static_cast<std::uint32_t>(item);
    out.txn_ids[r] = txn_ids.load(r);
    largest = std::max(largest, out.item_ids[r]);
  }
  out.item_end = rows == 0 ? 0 : std::uint64_t{largest} + 1;
  return out;
}

}  // namespace tallyfold
