#pragma once
// A level found range by range on the pool: each range of anchors writes its rows to a part
// of its own, and the parts, joined in range order, are the level in lexicographic order.

#include <cstdint>
#include <vector>

#include "common/itemset_table.hpp"
#include "itemsets/row_chunks.hpp"

namespace tallyfold {

// The rows one range of anchors found (`width` items each, back to back) and their counts.
struct LevelPart {
  std::vector<std::uint32_t> items, counts;
};

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
