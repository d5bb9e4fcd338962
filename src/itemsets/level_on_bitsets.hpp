#pragma once
// The baseline level counted on transaction bitsets, for dense data. The anchors and their
// extensions are the same as in the walk over reduced transactions; only the count of an
// extension comes from an intersection of the anchor's transactions with the item's, both as
// N-bit sets, instead of from a pass over the anchor's transactions.

#include <optional>

#include "itemsets/count_k_itemsets.hpp"

namespace tallyfold {

// The level by bitsets when the input allows it (a complete frequent set, prefix anchors,
// a bounded number of transactions) and the estimated work is below the walk's; nothing
// otherwise, and the caller walks.
std::optional<ItemsetTable> count_level_on_bitsets(const LevelInput& in);

// The lone level count (no min count, anchors in any relation to one another, no cap): every
// extension of every anchor by an item of the frequent set that passes the pair check and
// occurs, each once, counted on bitsets when that is estimated cheaper than the walk.
std::optional<ItemsetTable> count_every_extension_on_bitsets(const LevelInput& in);

// The same level for the Roaring counter: the anchors' and items' transactions as Roaring
// bitmaps, an extension counted by intersecting the two.
std::optional<ItemsetTable> count_level_on_roaring(const LevelInput& in);

}  // namespace tallyfold
