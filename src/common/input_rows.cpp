#include "common/input_rows.hpp"

#include <algorithm>

#include "common/cancel.hpp"
#include "common/large_page_vector.hpp"
#include "common/panic.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

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
    // Locals, not the captured ones: a store of an id could alias them (the largest id, the
    // bound), so they would be reloaded at every row.
    const CallerArray<std::int32_t> source = item_ids;
    const bool check = n_items.has_value();
    const std::uint64_t bound = n_items.value_or(0);
    std::uint32_t* const out = ids;
    std::uint32_t largest = 0;
    std::size_t first_bad = range.end;  // none yet
    std::uint64_t bad_id = 0;
    // A bad id does not stop the loop (it has no exit to keep it simple and fast); only the
    // first one in the chunk is kept.
    for_each_step(range.begin, range.end, [&](std::size_t r) {
      const std::int32_t item = source.load(r);
      const auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(item));
      if (check && widened >= bound && first_bad == range.end) {
        first_bad = r;
        bad_id = widened;
      }
      out[r] = static_cast<std::uint32_t>(item);
      largest = std::max(largest, static_cast<std::uint32_t>(item));
    });
    checked[c] = Checked{largest, first_bad != range.end, bad_id};
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
