#include "common/input_rows.hpp"

#include <algorithm>

#include "common/cancel.hpp"
#include "common/inverted_index.hpp"
#include "common/large_page_vector.hpp"
#include "common/panic.hpp"

namespace tallyfold {

std::vector<std::int64_t> read_txn_ids(CallerArray<std::int64_t> txn_ids) {
  check_row_limit(txn_ids.size());
  std::vector<std::int64_t> out(txn_ids.size());
  // In blocks, so the copy stays a tight loop and Ctrl-C is still seen between blocks.
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  for (std::size_t begin = 0; begin < out.size(); begin += kBlock) {
    throw_if_cancelled();
    const std::size_t end = std::min(out.size(), begin + kBlock);
    for (std::size_t r = begin; r < end; ++r) out[r] = txn_ids.load(r);
  }
  return out;
}

ItemRows read_item_ids(CallerArray<std::int32_t> item_ids, std::size_t rows,
                       std::optional<std::uint32_t> n_items) {
  ItemRows out;
  reserve_on_large_pages(out.ids, rows);
  out.ids.resize(rows);
  std::uint32_t largest = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
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
