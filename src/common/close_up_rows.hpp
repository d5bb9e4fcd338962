#pragma once
// Narrowing rows of item numbers in place (transactions cut to some items, or renumbered
// after items were dropped), on the pool for many rows.

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

// Rows r = 0..n-1 are items[offsets[r], offsets[r + 1]). Each item is replaced by
// `renumber(item)` and stays where `keeps(item)`; a row left shorter than `min_length` is
// emptied. Returns the items kept (offsets[n]); the caller shrinks its item array to that.
//
// Ranges of rows close up on the pool, each at the start of its own stretch of items: an item
// is written at or before where it was read, and no range writes outside its stretch. The
// stretches are then moved together in order. Every item is written and `keeps` decides
// whether the write position moves on, which keeps the loop free of branches on the items.
template <class Keeps, class Renumber>
std::uint32_t close_up_rows(std::uint32_t* items, std::uint32_t* offsets, std::uint32_t n,
                            std::size_t min_length, std::size_t parallel_from_items,
                            Keeps keeps, Renumber renumber) {
  constexpr std::uint32_t kRowsPerCancelCheck = 1 << 14;
  const std::vector<IndexRange> ranges = offsets[n] < parallel_from_items
                                             ? std::vector<IndexRange>{{0, n}}
                                             : pass_chunks(n, 0, tuning::kTransactionChunkMin);
  std::vector<std::uint32_t> start(ranges.size()), kept(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) start[c] = offsets[ranges[c].begin];
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    // A range rewrites the starts of its own rows after its first only (the first keeps its
    // value), so the range before, which reads that start as its end, reads a value nobody
    // writes meanwhile.
    std::uint32_t write = start[c], read = start[c];
    for (std::size_t t = range.begin; t < range.end; ++t) {
      if (t % kRowsPerCancelCheck == 0) throw_if_cancelled();
      const std::uint32_t read_end = offsets[t + 1], begin = write;
      for (; read < read_end; ++read) {
        const std::uint32_t item = items[read];
        items[write] = renumber(item);
        write += keeps(item) ? 1 : 0;
      }
      if (write - begin < min_length) write = begin;
      if (t != range.begin) offsets[t] = begin;
    }
    kept[c] = write - start[c];
  });
  throw_if_cancelled();
  std::uint32_t to = 0;
  std::vector<std::uint32_t> shift(ranges.size());
  for (std::size_t c = 0; c < ranges.size(); ++c) {
    shift[c] = start[c] - to;
    if (shift[c] != 0) std::memmove(items + to, items + start[c], kept[c] * sizeof(std::uint32_t));
    to += kept[c];
  }
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    if (shift[c] == 0) return;
    for (std::size_t t = range.begin; t < range.end; ++t) offsets[t] -= shift[c];
  });
  offsets[n] = to;
  return to;
}

}  // namespace tallyfold
