#include "common/input_rows.hpp"

#include <algorithm>

#include "common/cancel.hpp"
#include "common/inverted_index.hpp"
#include "common/large_page_vector.hpp"
#include "common/panic.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

std::vector<std::int64_t> read_txn_ids(CallerArray<std::int64_t> txn_ids) {
  check_row_limit(txn_ids.size());
  std::vector<std::int64_t> out(txn_ids.size());
  for_each_range(pass_chunks(out.size(), tuning::kParallelIndexMinRows, tuning::kIndexChunkMinRows),
                 [&](std::size_t, IndexRange range) {
                   for (std::size_t r = range.begin; r < range.end; ++r) {
                     throw_if_cancelled_every(r);
                     out[r] = txn_ids.load(r);
                   }
                 });
  return out;
}

ItemRows read_item_ids(CallerArray<std::int32_t> item_ids, std::size_t rows,
                       std::optional<std::uint32_t> n_items) {
  ItemRows out;
  reserve_on_large_pages(out.ids, rows);
  out.ids.resize(rows);
  const std::size_t present = std::min(rows, item_ids.size());
  // Chunks of rows are copied and checked on the pool; each stops at its first bad id, and
  // the first bad chunk in row order decides the fault, as a single pass would.
  struct Checked {
    std::uint32_t largest = 0;
    bool bad = false;
    std::uint64_t bad_id = 0;
  };
  const std::vector<IndexRange> chunks =
      pass_chunks(present, tuning::kParallelIndexMinRows, tuning::kIndexChunkMinRows);
  std::vector<Checked> checked(chunks.size());
  std::uint32_t* ids = out.ids.data();
  for_each_range(chunks, [&](std::size_t c, IndexRange range) {
    Checked& part = checked[c];
    for (std::size_t r = range.begin; r < range.end; ++r) {
      throw_if_cancelled_every(r);
      const std::int32_t item = item_ids.load(r);
      if (n_items) {
        const auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(item));
        if (widened >= *n_items) {
          part.bad = true;
          part.bad_id = widened;
          return;
        }
      }
      ids[r] = static_cast<std::uint32_t>(item);
      part.largest = std::max(part.largest, ids[r]);
    }
  });
  std::uint32_t largest = 0;
  for (const Checked& part : checked) {
    if (part.bad) panic_index_out_of_bounds(*n_items, part.bad_id);
    largest = std::max(largest, part.largest);
  }
  if (present < rows) panic_index_out_of_bounds(item_ids.size(), present);
  out.end = rows == 0 ? 0 : std::uint64_t{largest} + 1;
  return out;
}

}  // namespace tallyfold
