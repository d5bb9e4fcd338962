#include "classic/apriori.hpp"

#include "classic/candidates.hpp"
#include "common/cancel.hpp"
#include "common/min_count.hpp"

namespace tallyfold {

namespace {

// The level's itemsets with slots turned back into caller ids. Slots keep the order of ids,
// so every row stays ascending.
ItemsetTable in_caller_ids(const ItemsetTable& level, const TransactionIndex& index) {
  std::vector<std::uint32_t> items, counts(level.size());
  items.reserve(level.size() * level.width());
  for (std::size_t i = 0; i < level.size(); ++i) {
    throw_if_cancelled_every(i);
    for (std::uint32_t slot : level.row(i)) items.push_back(index.item_id(slot));
    counts[i] = level.count(i);
  }
  // Distinct slots are distinct ids: the rows stay distinct, and nothing searches them.
  return ItemsetTable::from_distinct_rows(level.width(), std::move(items), std::move(counts));
}

}  // namespace

LevelMap apriori_itemsets(TransactionIndex& index, std::uint64_t k_max, double min_support) {
  const std::uint32_t min_count = min_count_u32(min_support, index.n_transactions());
  LevelMap map;

  bool any_frequent = false;
  for (std::uint32_t s = 0; s < index.n_items() && !any_frequent; ++s)
    any_frequent = index.count(s) >= min_count;
  if (!any_frequent) return map;
  index.retain_items_reaching(min_count);

  // Mining runs in slots; each level is stored in caller ids once it is complete.
  std::vector<std::uint32_t> slots(index.n_items()), slot_counts(index.n_items());
  for (std::uint32_t s = 0; s < index.n_items(); ++s) {
    slots[s] = s;
    slot_counts[s] = index.count(s);
  }
  ItemsetTable previous = ItemsetTable::from_distinct_rows(1, std::move(slots), std::move(slot_counts));
  map.levels.push_back(in_caller_ids(previous, index));
  if (k_max < 2) return map;

  if (index.dense_enough_for_bitsets()) index.build_bitsets();
  for (std::uint64_t k = 2; k <= k_max; ++k) {
    throw_if_cancelled();
    const CandidateRuns candidates = generate_candidates(previous);
    if (candidates.size() == 0) break;
    ItemsetTable level = count_candidates_parallel(index, candidates, min_count);
    if (level.empty()) break;
    map.levels.push_back(in_caller_ids(level, index));
    previous = std::move(level);
  }
  return map;
}

}  // namespace tallyfold
