#include "allsizes/closed_maximal.hpp"

#include <atomic>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "common/panic.hpp"
#include "common/row_lookup.hpp"

namespace tallyfold {

ItemsetCsr keep_target(ItemsetCsr&& rows, Target target) {
  if (target == Target::All || rows.size() == 0) return std::move(rows);
  const ItemsetCsrView view{rows.items, rows.offsets};
  const RowLookup lookup(view);
  const bool closed = target == Target::Closed;
  // 1 marks a row with a larger superset that disqualifies it. Rows are marked from many
  // workers at once; every write stores the same value, so relaxed atomics suffice.
  std::vector<std::uint8_t> dropped(rows.size(), 0);
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, rows.size(), 4096),
      [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t r = range.begin(); r != range.end(); ++r) {
          const auto row = view.row(r);
          if (row.size() < 2) continue;
          for (std::size_t skip = 0; skip < row.size(); ++skip) {
            const auto found = lookup.find_without(r, skip);
            if (!found) throw Panic("a frequent itemset's subset is missing from the table");
            if (!closed || rows.counts[*found] == rows.counts[r])
              std::atomic_ref<std::uint8_t>(dropped[*found]).store(1, std::memory_order_relaxed);
          }
        }
      });
  throw_if_cancelled();  // a cancelled stage leaves rows unmarked

  ItemsetCsr kept;
  for (std::size_t r = 0; r < rows.size(); ++r)
    if (!dropped[r]) kept.append(view.row(r), rows.counts[r]);
  return kept;
}

}  // namespace tallyfold
