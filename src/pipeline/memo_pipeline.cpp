#include "pipeline/memo_pipeline.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>

#include "common/cancel.hpp"
#include "common/inverted_index.hpp"
#include "common/min_count.hpp"
#include "common/tuning.hpp"
#include "itemsets/bitset_memo.hpp"
#include "itemsets/memo_counters.hpp"
#include "itemsets/memo_on_bitsets.hpp"
#include "itemsets/memo_siblings.hpp"
#include "itemsets/reduced_transactions.hpp"
#include "pairs/frequent_pairs.hpp"

namespace tallyfold {

namespace {

// What every memo pipeline does before its level loop: index, min count, frequent pairs.
struct PipelineStart {
  InvertedIndex index;
  std::uint32_t min_count;
  FrequentPairs pairs;
  PipelineResult result;
  std::vector<double> weights;  // by item number, for the cap
};

PipelineStart start_pipeline(const PipelineInput& in) {
  PipelineStart s{build_inverted_index(in.txn_ids, in.item_ids, in.n_items), 0, {}, {}, {}};
  s.weights = cap_weights(in, s.index);
  s.min_count = min_count_u32(in.min_support, s.index.n_transactions);
  s.pairs = count_frequent_pairs(s.index, in.min_support);
  s.result.n_transactions = s.index.n_transactions;
  s.result.n_items = in.n_items;
  s.result.item_counts = s.index.item_counts;
  s.result.numbering = s.index.numbering;
  s.result.item_count_numbering = s.index.numbering;
  return s;
}

MemoLevelInput level_input(const PipelineInput& in, const PipelineStart& s,
                           const ItemTxnsRoaring& items, const PairNeighbors* neighbors,
                           std::uint64_t k) {
  return MemoLevelInput{s.index,
                        items,
                        s.pairs.set,
                        neighbors,
                        static_cast<std::size_t>(k),
                        s.min_count,
                        s.weights,
                        in.max_items_per_txn,
                        s.min_count >= 1 && !in.max_items_per_txn,
                        k < in.k_max};
}

std::optional<TopTables> as_tables(TopLevels levels) {
  return TopTables{levels.lower.take_itemsets(), levels.top.take_itemsets()};
}

// Level k from level k - 1 by `count`, from level `first_k` until k_max or the first empty
// level, which empties both returned levels: nothing extends it. Before each level below the
// top, `count_top(k, memo)` may give every remaining level in one call (the two top ones, or
// the first empty one as `lower`), or nothing, and the loop goes on level by level.
template <class MemoType, class Count, class CountTop>
PipelineResult run_levels(const PipelineInput& in, PipelineResult result, MemoType memo,
                          Count count, CountTop count_top, std::uint64_t first_k = 3) {
  for (std::uint64_t k = first_k;; ++k) {
    throw_if_cancelled();
    if (k < in.k_max) {
      if (std::optional<TopTables> levels = count_top(k, memo)) {
        const bool lower_empty = levels->lower.empty();
        result.final_level = std::move(lower_empty ? levels->lower : levels->top);
        result.lower_level = lower_empty ? ItemsetTable(0) : std::move(levels->lower);
        return result;
      }
    }
    auto next = count(k, memo);
    if (k == in.k_max || level_empty(next)) {
      const bool reached_top = k == in.k_max;
      result.final_level = take_level(next);
      result.lower_level = reached_top ? take_level(memo) : ItemsetTable(0);
      return result;
    }
    if constexpr (std::is_same_v<decltype(next), MemoType>) {
      memo = std::move(next);
    } else {
      // The first level of a new kind of memo: the loop goes on with that kind.
      return run_levels(in, std::move(result), std::move(next), count, count_top, k + 1);
    }
  }
}

// Whether anchors extend by prefix only (no cap, a min count of at least 1; see LevelInput).
bool prefix_anchors(const PipelineInput& in, const PipelineStart& s) {
  return s.min_count >= 1 && !in.max_items_per_txn;
}

// Whether the levels above the pairs may be counted depth first from them: a pair's whole
// subtree is then one unit of work, so no pair may weigh much. A pair weighs its count times
// one more than its later siblings (about what its subtree costs); skewed data (retail, where
// two items sit in half the baskets) has pairs over 3 % of the total, whose subtrees, larger
// still than the weight says, leave a core idle at the end.
bool depth_first_balances(const ItemsetTable& pairs) {
  double total = 0, heaviest = 0;
  for (std::size_t begin = 0; begin < pairs.size();) {
    std::size_t end = begin;
    while (end < pairs.size() && pairs.row(end)[0] == pairs.row(begin)[0]) ++end;
    for (std::size_t p = begin; p < end; ++p) {
      const double weight = static_cast<double>(pairs.count(p)) * static_cast<double>(end - p);
      total += weight;
      heaviest = std::max(heaviest, weight);
    }
    begin = end;
  }
  return heaviest <= tuning::kDepthFirstMaxPairShare * total;
}

// The memo counters on sparse data with prefix anchors: level 2's sets made group by group as
// level 3 reads them, counted by sibling groups each counter's way (`choice`). Where the
// pairs weigh evenly enough, every level from 3 up is counted depth first from them (see
// memo_siblings.hpp), each group's sets held only while it is extended; otherwise level by
// level, each level's sets back to back (see flat_memo.hpp), lists only or `adaptive`ly
// bitsets, the two top levels together from level k_max - 2.
PipelineResult run_flat_memo_pipeline(const PipelineInput& in, PipelineStart s,
                                      SiblingChoice choice, bool adaptive) {
  if (in.k_max < 3) {
    s.result.lower_level = std::move(s.pairs.counts);
    return std::move(s.result);
  }
  const bool deep = depth_first_balances(s.pairs.counts);
  // Nothing reads an item outside the frequent pairs again, nor a transaction with fewer than
  // three of them: level 3 then reads the index's rows whole instead of a cut copy.
  cut_index_transactions(s.index, frequent_item_flags(s.pairs.counts, s.index.item_space), 3);
  // The counters that choose siblings by their pairs find them in these lists.
  const bool by_pairs = choice != SiblingChoice::kCountThenCheck;
  PairNeighbors neighbors;
  if (by_pairs) neighbors = build_pair_neighbors(s.pairs.counts, s.index.item_space);
  PairMemo pairs{std::move(s.pairs.counts), &s.index, adaptive};
  s.pairs.counts = ItemsetTable(2);
  const ItemTxnsRoaring no_bitmaps;
  auto input = [&](std::uint64_t k) {
    return level_input(in, s, no_bitmaps, by_pairs ? &neighbors : nullptr, k);
  };
  return run_levels(
      in, std::move(s.result), std::move(pairs),
      [&](std::uint64_t k, const auto& lower) {
        return count_memo_level_by_siblings(input(k), lower, choice);
      },
      [&](std::uint64_t k, const auto& lower) -> std::optional<TopTables> {
        if (k + 1 != in.k_max && !deep) return std::nullopt;
        return count_top_levels_by_siblings(input(k), lower, choice, in.k_max);
      });
}

// For k_max >= 3 under a cap or a min count of 0: the item bitmaps, the level-2 memo (and the
// neighbor lists of the gating counter) are built once; each level's counter turns the memo
// of level k - 1 into that of level k by the general step.
template <class Tids, class BuildLevel2, class Counter>
PipelineResult run_memo_pipeline(const PipelineInput& in, PipelineStart s, bool gating,
                                 BuildLevel2 build_level2, Counter counter) {
  if (in.k_max < 3) {
    s.result.lower_level = std::move(s.pairs.counts);
    return std::move(s.result);
  }
  const std::vector<std::uint8_t> pair_items =
      frequent_item_flags(s.pairs.counts, s.index.item_space);
  const ItemTxnsRoaring items = ItemTxnsRoaring::from_index(s.index, &pair_items);
  PairNeighbors neighbors;
  if (gating) neighbors = build_pair_neighbors(s.pairs.counts, s.index.item_space);
  Memo<Tids> memo = build_level2(s.index, s.pairs.counts);
  s.pairs.counts = ItemsetTable(2);
  return run_levels(in, std::move(s.result), std::move(memo),
                    [&](std::uint64_t k, Memo<Tids>& lower) {
                      return counter(level_input(in, s, items, gating ? &neighbors : nullptr, k),
                                     lower);
                    },
                    [](std::uint64_t, Memo<Tids>&) { return std::optional<TopTables>(); });
}

// Transaction bitsets pay off when they are smaller than the index lists they replace: a
// set of |T| transactions costs 4|T| bytes as a list and N/8 as a bitset, so the pairs'
// average count must reach N/32. Under a cap counts come from capped lists, which a
// bitset of full transactions cannot give.
bool bitsets_pay_off(const PipelineInput& in, const PipelineStart& s) {
  const ItemsetTable& pairs = s.pairs.counts;
  if (in.k_max < 3 || in.max_items_per_txn || s.min_count == 0 || pairs.empty() ||
      s.index.n_transactions > tuning::kBitsetMaxTransactions)
    return false;
  std::uint64_t total = 0;
  for (std::size_t p = 0; p < pairs.size(); ++p) total += pairs.count(p);
  return total * 32 >= static_cast<std::uint64_t>(s.index.n_transactions) * pairs.size();
}

// The levels above the pairs are counted depth first (see memo_top_levels.hpp): the top
// level keeps counts only, and every level below it keeps its sets one group at a time. The
// pairs' sets are freed once the walk is done, before the results are joined, or, when they
// are the level below the top two, each group's once it is extended.
PipelineResult run_gating_on_bitsets(const PipelineInput& in, PipelineStart s) {
  const ItemBits bits = ItemBits::from_pairs(s.index, s.pairs.counts);
  BitsetMemo memo = build_pair_bitsets(s.pairs.counts, bits);
  s.pairs.counts = ItemsetTable(2);
  const ItemTxnsRoaring no_bitmaps;
  return run_levels(in, std::move(s.result), std::move(memo),
                    [&](std::uint64_t k, BitsetMemo& lower) {
                      SpentSets spent(lower);
                      return count_k_itemsets_v6_gating_bitsets(
                          level_input(in, s, no_bitmaps, nullptr, k), lower, k < in.k_max,
                          &spent, &bits);
                    },
                    [&](std::uint64_t k, BitsetMemo& lower) {
                      SpentSets spent(lower);
                      return as_tables(count_top_levels_v6_gating_bitsets(
                          level_input(in, s, no_bitmaps, nullptr, k), lower, in.k_max,
                          &spent, &bits));
                    });
}

// The memo counters on dense data: sets carried as bitsets (or short lists), extended by the
// baseline's candidates; `style` keeps each counter's own way (see BitsetMemoStyle).
// Above the pairs, levels are counted depth first, as for the gating counter.
PipelineResult run_memo_on_bitsets(const PipelineInput& in, PipelineStart s,
                                   BitsetMemoStyle style) {
  const ItemBits bits = ItemBits::from_pairs(s.index, s.pairs.counts);
  const PairNeighbors neighbors = build_pair_neighbors(s.pairs.counts, s.index.item_space);
  BitsetMemo memo = build_pair_memo_on_bitsets(s.pairs.counts, bits, style);
  s.pairs.counts = ItemsetTable(2);
  const ItemTxnsRoaring no_bitmaps;
  return run_levels(in, std::move(s.result), std::move(memo),
                    [&](std::uint64_t k, BitsetMemo& lower) {
                      SpentSets spent(lower);
                      return count_memo_level_on_bitsets(
                          level_input(in, s, no_bitmaps, &neighbors, k), lower, bits, style,
                          k < in.k_max, &spent);
                    },
                    [&](std::uint64_t k, BitsetMemo& lower) {
                      SpentSets spent(lower);
                      return as_tables(count_top_levels_on_bitsets(
                          level_input(in, s, no_bitmaps, &neighbors, k), lower, bits, style,
                          in.k_max, &spent));
                    });
}

}  // namespace

PipelineResult run_v2_memo_pipeline(const PipelineInput& in) {
  PipelineStart s = start_pipeline(in);
  if (bitsets_pay_off(in, s)) return run_memo_on_bitsets(in, std::move(s), {});
  if (prefix_anchors(in, s))
    return run_flat_memo_pipeline(in, std::move(s), SiblingChoice::kCountThenCheck, false);
  return run_memo_pipeline<Bitmap>(
      in, std::move(s), false, build_pair_tid_map,
      [](const MemoLevelInput& l, const Memo<Bitmap>& m) { return count_k_itemsets_v2_memo(l, m); });
}

PipelineResult run_v3_adaptive_pipeline(const PipelineInput& in) {
  PipelineStart s = start_pipeline(in);
  if (bitsets_pay_off(in, s))
    return run_memo_on_bitsets(in, std::move(s), {.check_pairs_first = false, .adaptive = true});
  if (prefix_anchors(in, s))
    return run_flat_memo_pipeline(in, std::move(s), SiblingChoice::kCountThenCheck, true);
  return run_memo_pipeline<TidList>(in, std::move(s), false, build_pair_tid_map_adaptive,
                                    [](const MemoLevelInput& l, const Memo<TidList>& m) {
                                      return count_k_itemsets_v3_adaptive(l, m);
                                    });
}

PipelineResult run_v5_prefilter_pipeline(const PipelineInput& in) {
  PipelineStart s = start_pipeline(in);
  if (bitsets_pay_off(in, s))
    return run_memo_on_bitsets(in, std::move(s), {.check_pairs_first = true, .adaptive = false});
  if (prefix_anchors(in, s))
    return run_flat_memo_pipeline(in, std::move(s), SiblingChoice::kCheckFirst, true);
  return run_memo_pipeline<TidList>(in, std::move(s), false, build_pair_tid_map_adaptive,
                                    [](const MemoLevelInput& l, const Memo<TidList>& m) {
                                      return count_k_itemsets_v5_prefilter(l, m);
                                    });
}

PipelineResult run_v6_gating_pipeline(const PipelineInput& in) {
  PipelineStart s = start_pipeline(in);
  if (bitsets_pay_off(in, s)) return run_gating_on_bitsets(in, std::move(s));
  if (prefix_anchors(in, s))
    return run_flat_memo_pipeline(in, std::move(s), SiblingChoice::kNeighborGate, true);
  return run_memo_pipeline<TidList>(in, std::move(s), true, build_pair_tid_map_adaptive,
                                    [](const MemoLevelInput& l, const Memo<TidList>& m) {
                                      return count_k_itemsets_v6_gating(l, m);
                                    });
}

}  // namespace tallyfold
