#include "itemsets/extension_owner.hpp"

#include "common/cancel.hpp"
#include "common/hash_growth.hpp"

namespace tallyfold {

ExtensionOwners::ExtensionOwners(const ItemsetTable& anchors, const PairSet& pairs,
                                 std::uint32_t item_space)
    : pairs_(pairs) {
  const std::size_t width = anchors.width();
  const unsigned bits = bits_to_hold(item_space);
  if (width == 0 || width * bits > 64) {
    rows_.emplace(anchors);
    return;
  }
  item_bits_ = bits;
  reserve_safely(packed_, anchors.size());
  for (std::size_t r = 0; r < anchors.size(); ++r) {
    throw_if_cancelled_every(r);
    // A row that is not strictly ascending, or holds an item no transaction has, is no rest
    // of an ascending candidate of known items: it is left out.
    const auto row = anchors.row(r);
    bool usable = true;
    for (std::size_t i = 0; i < width && usable; ++i)
      usable = row[i] < item_space && (i == 0 || row[i - 1] < row[i]);
    if (usable) packed_.insert(packed_row(row, bits));
  }
}

ExtensionOwnership extension_ownership(const LevelInput& in, std::span<const std::uint32_t> rows,
                                       std::span<const std::uint32_t> items,
                                       std::size_t budget_bytes) {
  ExtensionOwnership ownership;
  if (in.prefix_anchors_only) return ownership;
  ownership.masks = ExtensionMasks::build(in.frequent, rows, items, in.index.item_space, in.pairs,
                                          budget_bytes);
  if (!ownership.masks) ownership.owners.emplace(in.frequent, in.pairs, in.index.item_space);
  return ownership;
}

}  // namespace tallyfold
