#include "allsizes/levelwise_all_sizes.hpp"

#include <limits>
#include <utility>
#include <vector>

#include "allsizes/level_order.hpp"
#include "classic/apriori.hpp"
#include "classic/transaction_index.hpp"
#include "common/itemset_table.hpp"
#include "common/panic.hpp"
#include "common/tuning.hpp"
#include "itemsets/bitset_memo.hpp"
#include "itemsets/count_k_itemsets.hpp"
#include "itemsets/memo_counters.hpp"
#include "itemsets/reduced_transactions.hpp"
#include "pairs/frequent_pairs.hpp"

namespace tallyfold {

namespace {

// The level-wise counters take a support fraction and derive ceil(s * N). Half a count below
// the wanted one gives exactly that count back: the product lands strictly between c - 1 and
// c for any N a 32-bit index can hold.
double support_for(std::uint32_t min_count, std::uint32_t n_transactions) {
  return (static_cast<double>(min_count) - 0.5) / static_cast<double>(n_transactions);
}

bool below_limit(std::uint64_t k, std::uint64_t max_len) { return max_len == 0 || k <= max_len; }

ItemsetTable frequent_items(const InvertedIndex& index, std::uint32_t min_count) {
  std::vector<std::uint32_t> items, counts;
  for (std::uint32_t i = 0; i < index.item_space; ++i)
    if (index.item_counts[i] >= min_count) {
      items.push_back(i);
      counts.push_back(index.item_counts[i]);
    }
  return ItemsetTable::from_distinct_rows(1, std::move(items), std::move(counts));
}

// The levels found so far. Each level is reported to the run's monitor as it is kept, so a
// limit stops the search before the next level is counted.
class KeptLevels {
 public:
  explicit KeptLevels(RunMonitor* monitor) : monitor_(monitor) {}
  void push_back(ItemsetTable&& level) {
    if (monitor_ != nullptr) {
      monitor_->level_done();
      monitor_->unit_done();
      monitor_->add_rows(level.size(), level.size() * level.width());
    }
    tables_.push_back(std::move(level));
  }
  ItemsetTable& operator[](std::size_t k) { return tables_[k]; }
  ItemsetTable& back() { return tables_.back(); }
  ItemsetCsr join() { return join_levels_in_lexicographic_order(std::move(tables_)); }

 private:
  RunMonitor* monitor_;
  std::vector<ItemsetTable> tables_;
};

// Levels 3 and up from the level-2 memo; `count(k, memo)` gives level k from level k - 1.
// A level is kept once the next one has been counted from it.
template <class MemoType, class Count>
void memo_levels(KeptLevels& levels, MemoType memo, std::uint64_t max_len,
                 Count count) {
  std::uint64_t k = 2;
  while (below_limit(k + 1, max_len)) {
    MemoType next = count(k + 1, memo);
    if (level_empty(next)) break;
    if (k >= 3) levels.push_back(take_level(memo));
    memo = std::move(next);
    ++k;
  }
  if (k >= 3) levels.push_back(take_level(memo));
}

// Transaction bitsets pay off when they are smaller than the lists they replace: N/8 bytes
// against 4 bytes per transaction, so the pairs' mean count must reach N/32 (the rule the
// gating pipeline applies).
bool bitsets_pay_off(const InvertedIndex& index, const ItemsetTable& pairs) {
  if (pairs.empty() || index.n_transactions > tuning::kBitsetMaxTransactions) return false;
  std::uint64_t total = 0;
  for (std::size_t p = 0; p < pairs.size(); ++p) total += pairs.count(p);
  return total * 32 >= static_cast<std::uint64_t>(index.n_transactions) * pairs.size();
}

using SetCounter = ItemsetTable (*)(const LevelInput&);


}  // namespace

ItemsetCsr levelwise_all_sizes(const InvertedIndex& index, Algorithm algorithm,
                                std::uint32_t min_count, std::uint64_t max_len,
                                RunMonitor* monitor) {
  KeptLevels levels(monitor);
  if (monitor != nullptr) monitor->set_units(max_len);
  if (index.n_transactions == 0) return {};
  levels.push_back(frequent_items(index, min_count));
  if (levels[0].empty() || !below_limit(2, max_len))
    return levels.join();

  FrequentPairs pairs = count_frequent_pairs(index, support_for(min_count, index.n_transactions));
  if (pairs.counts.empty() || !below_limit(3, max_len)) {
    levels.push_back(std::move(pairs.counts));
    return levels.join();
  }

  auto memo_input = [&](const ItemTxnsRoaring& items, const PairNeighbors* neighbors,
                        std::uint64_t k) {
    return MemoLevelInput{index, items, pairs.set, neighbors, static_cast<std::size_t>(k),
                          min_count, {}, std::nullopt, true};
  };
  switch (algorithm) {
    case Algorithm::Pipeline:
    case Algorithm::V1Roaring: {
      const SetCounter counter = algorithm == Algorithm::Pipeline ? count_k_itemsets_internal
                                                                  : count_k_itemsets_v1_roaring;
      levels.push_back(std::move(pairs.counts));
      for (std::uint64_t k = 3; below_limit(k, max_len); ++k) {
        const LevelInput in{index, levels.back(), pairs.set, static_cast<std::size_t>(k), {},
                            std::nullopt, min_count, true};
        ItemsetTable level = counter(in).filtered(min_count);
        if (level.empty()) break;
        levels.push_back(std::move(level));
      }
      break;
    }
    case Algorithm::V2Memo:
    case Algorithm::V3Adaptive:
    case Algorithm::V5Prefilter:
    case Algorithm::V6Gating: {
      const bool gating = algorithm == Algorithm::V6Gating;
      if (gating && bitsets_pay_off(index, pairs.counts)) {
        const ItemBits bits = ItemBits::from_pairs(index, pairs.counts);
        BitsetMemo memo = build_pair_bitsets(pairs.counts, bits);
        levels.push_back(std::move(pairs.counts));
        const ItemTxnsRoaring no_bitmaps;
        memo_levels(levels, std::move(memo), max_len, [&](std::uint64_t k, const BitsetMemo& m) {
          return count_k_itemsets_v6_gating_bitsets(memo_input(no_bitmaps, nullptr, k), m);
        });
        break;
      }
      const std::vector<std::uint8_t> pair_items =
          frequent_item_flags(pairs.counts, index.item_space);
      const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(index, &pair_items);
      PairNeighbors neighbors;
      if (gating) neighbors = build_pair_neighbors(pairs.counts, index.item_space);
      if (algorithm == Algorithm::V2Memo) {
        Memo<Bitmap> memo = build_pair_tid_map(index, pairs.counts);
        levels.push_back(std::move(pairs.counts));
        memo_levels(levels, std::move(memo), max_len, [&](std::uint64_t k, const Memo<Bitmap>& m) {
          return count_k_itemsets_v2_memo(memo_input(items, nullptr, k), m);
        });
        break;
      }
      const auto counter = algorithm == Algorithm::V3Adaptive  ? count_k_itemsets_v3_adaptive
                           : algorithm == Algorithm::V5Prefilter ? count_k_itemsets_v5_prefilter
                                                                 : count_k_itemsets_v6_gating;
      Memo<TidList> memo = build_pair_tid_map_adaptive(index, pairs.counts);
      levels.push_back(std::move(pairs.counts));
      memo_levels(levels, std::move(memo), max_len, [&](std::uint64_t k, const Memo<TidList>& m) {
        return counter(memo_input(items, gating ? &neighbors : nullptr, k), m);
      });
      break;
    }
    default:
      throw Panic("not a level-wise counter");
  }
  return levels.join();
}

ItemsetCsr classic_all_sizes(const AllSizesRequest& request, RunMonitor* monitor) {
  TransactionIndex index = TransactionIndex::build_with_cap(request.txn_ids, request.item_ids,
                                                            std::nullopt, std::nullopt,
                                                            request.n_items);
  if (index.n_transactions() == 0) return {};
  const std::uint64_t k_max =
      request.max_len == 0 ? std::numeric_limits<std::uint64_t>::max() : request.max_len;
  LevelMap map =
      apriori_itemsets(index, k_max, support_for(request.min_count, index.n_transactions()));
  // Apriori hands back every level at once: the limits are checked on the whole result.
  KeptLevels levels(monitor);
  if (monitor != nullptr) monitor->set_units(map.levels.size());
  for (ItemsetTable& level : map.levels) levels.push_back(std::move(level));
  return levels.join();
}

}  // namespace tallyfold
