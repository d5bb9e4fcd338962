#include "classic/apriori.hpp"

#include <algorithm>

#include "classic/candidates.hpp"
#include "common/cancel.hpp"
#include "common/min_count.hpp"

namespace tallyfold {

namespace {

// The level's slots turned back into caller ids, in place. Slots keep the order of ids, so
// every row stays ascending and the rows stay distinct.
ItemsetTable in_caller_ids(ItemsetTable level, const TransactionIndex& index) {
  const std::size_t width = level.width();
  std::vector<std::uint32_t> items = level.take_items(), counts = level.take_counts();
  for (std::size_t i = 0; i < items.size(); ++i) {
    throw_if_cancelled_every(i);
    items[i] = index.item_id(items[i]);
  }
  return ItemsetTable::from_distinct_rows(width, std::move(items), std::move(counts));
}

}  // namespace

LevelMap apriori_itemsets(TransactionIndex& index, std::uint64_t k_max, double min_support,
                          std::uint64_t kept_from) {
  const std::uint32_t min_count = min_count_u32(min_support, index.n_transactions());
  LevelMap map;

  bool any_frequent = false;
  for (std::uint32_t s = 0; s < index.n_items() && !any_frequent; ++s)
    any_frequent = index.count(s) >= min_count;
  if (!any_frequent) return map;
  index.retain_items_reaching(min_count);

  // Mining runs in slots, and each level is stored as it is found. A level below
  // `kept_from` is emptied once its candidates are made; the kept ones are turned into
  // caller ids when mining ends, so no level is ever held twice.
  std::vector<ItemsetTable>& levels = map.levels;
  std::vector<std::uint32_t> slots(index.n_items()), slot_counts(index.n_items());
  for (std::uint32_t s = 0; s < index.n_items(); ++s) {
    slots[s] = s;
    slot_counts[s] = index.count(s);
  }
  levels.push_back(ItemsetTable::from_distinct_rows(1, std::move(slots), std::move(slot_counts)));

  if (k_max >= 2 && index.dense_enough_for_bitsets()) index.build_bitsets();
  for (std::uint64_t k = 2; k <= k_max; ++k) {
    throw_if_cancelled();
    const CandidateRuns candidates = generate_candidates(levels.back());
    if (candidates.size() == 0) break;
    if (k - 1 < kept_from) levels.back() = ItemsetTable(levels.back().width());
    ItemsetTable level = count_candidates_parallel(index, candidates, min_count);
    if (level.empty()) break;
    levels.push_back(std::move(level));
  }
  for (std::size_t k = std::max<std::uint64_t>(kept_from, 1); k <= levels.size(); ++k)
    levels[k - 1] = in_caller_ids(std::move(levels[k - 1]), index);
  return map;
}

}  // namespace tallyfold
