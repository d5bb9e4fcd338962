#pragma once
// A level found range by range on the pool: each range of anchors writes its rows to a part
// of its own, and the parts, joined in range order, are the level in lexicographic order.

#include <cstdint>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/itemset_table.hpp"
#include "common/parallel.hpp"
#include "itemsets/row_chunks.hpp"

namespace tallyfold {

// The rows one range of anchors found (`width` items each, back to back) and their counts.
struct LevelPart {
  std::vector<std::uint32_t> items, counts;
};

// Runs count(range, part) for every range, on the pool when there are several, and returns
// one part per range in range order, each the size of its rows: a worker appends to a part of
// its own, reused from range to range, and each range's rows are copied out of it. Parts
// grown by doubling would hold up to twice their rows, and leave holes at each regrowth that
// the later, larger buffers of a call do not fit in.
template <class CountRange>
std::vector<LevelPart> count_ranges_in_parts(const std::vector<IndexRange>& ranges,
                                             CountRange&& count) {
  tbb::enumerable_thread_specific<LevelPart> scratch;
  return map_ranges<LevelPart>(ranges, [&](IndexRange range, LevelPart& part) {
    LevelPart& rows = scratch.local();
    rows.items.clear();
    rows.counts.clear();
    count(range, rows);
    part.items.assign(rows.items.begin(), rows.items.end());
    part.counts.assign(rows.counts.begin(), rows.counts.end());
  });
}

// The parts joined in range order into a read-only table (the level is only read from here
// on, so it gets no hash index); each part is released once copied.
ItemsetTable join_level_parts(std::size_t width, std::vector<LevelPart>& parts);

// Parts of distinct rows kept in chunks, in any order, with items below `item_space`, joined
// into a read-only table in lexicographic order. When a row's items fit in one word beside
// its count, or else beside its number, each part is sorted as such words on a thread of its
// own (each chunk freed once packed) and the words are merged straight into the joined
// table; wider rows are copied into one table and sorted there.
ItemsetTable join_chunks_in_order(std::uint32_t item_space, std::vector<RowChunks>& parts);

}  // namespace tallyfold
