#include "common/input_rows.hpp"

#include <algorithm>

#include "common/inverted_index.hpp"
#include "common/panic.hpp"

namespace tallyfold {

std::vector<std::int64_t> read_txn_ids(CallerArray<std::int64_t> txn_ids) {
  check_row_limit(txn_ids.size());
  std::vector<std::int64_t> out(txn_ids.size());
  for (std::size_t r = 0; r < out.size(); ++r) out[r] = txn_ids.load(r);
  return out;
}

ItemRows read_item_ids(CallerArray<std::int32_t> item_ids, std::size_t rows,
                       std::optional<std::uint32_t> n_items) {
  ItemRows out;
  out.ids.resize(rows);
  std::uint32_t largest = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    if (r >= item_ids.size()) panic_index_out_of_bounds(item_ids.size(), r);
    const std::int32_t item = item_ids.load(r);
    if (n_items) {
      const auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(item));
      if (widened >= *n_items) panic_index_out_of_bounds(*n_items, widened);
    }
    out.ids[r] = static_cast<std::uint32_t>(item);
    largest = std::max(largest, out.ids[r]);
  }
  out.end = rows == 0 ? 0 : std::uint64_t{largest} + 1;
  return out;
}

}  // namespace tallyfold
