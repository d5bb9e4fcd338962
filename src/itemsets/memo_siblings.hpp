#pragma once
// The memo counters' level with prefix anchors (no cap, a min count of at least 1), by groups
// of sibling anchors (see sibling_groups.hpp): an anchor's transactions still come from its
// memo entry and are still walked, but only the siblings above the anchor's last item are
// counted, into one row of cells by sibling position, since no other item can make a frequent
// extension. A second walk, over the same transactions, lists the transactions of the
// extensions that reached the min count, which is their memo entry: the same set as the
// anchor's intersected with the item's, without the intersection. An itemset that will be
// the last of its group at the next level keeps no set, since nothing reads it. Rows, counts
// and sets are those of the general step; rows come out in lexicographic order, each once.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/memo_extend.hpp"
#include "itemsets/sibling_groups.hpp"

namespace tallyfold {

// Which siblings above an anchor's last item a memo counter counts, each counter in its way.
enum class SiblingChoice {
  kCountThenCheck,   // every one; the pair with the anchor's last is checked on the survivors
  kCheckFirst,       // only those forming a frequent pair with the anchor's last (prefilter)
  kNeighborGate,     // only those in every anchor item's pair-neighbor list (gating)
};

template <class Tids>
Tids memo_set_of(std::span<const std::uint32_t> tids);
template <>
inline Bitmap memo_set_of<Bitmap>(std::span<const std::uint32_t> tids) { return Bitmap::of(tids); }
template <>
inline TidList memo_set_of<TidList>(std::span<const std::uint32_t> tids) { return TidList::of(tids); }

// The level from the memo of the previous one. With `top` the level's sets are not kept:
// each kept group's lists are read at once to count the level above into `*top` (the two top
// levels of a pipeline), so no set of the level outlives its group. With `spent` (the same
// memo, which the caller gives up) each group's sets are emptied once its anchors are done,
// since only they read them: the previous level's sets go while this one's are made.
template <class Tids>
Memo<Tids> count_memo_level_by_siblings(const MemoLevelInput& in, const Memo<Tids>& memo,
                                        SiblingChoice choice, TopTables* top = nullptr,
                                        Memo<Tids>* spent = nullptr) {
  const ItemsetTable& anchors = memo.itemsets;
  const std::size_t width = anchors.width();
  const auto flags = frequent_item_flags(anchors, in.index.item_space);
  const ReducedTransactions reduced =
      reduce_transactions(in.index, flags, in.k, in.item_weights, in.max_items_per_txn);
  const SiblingGroups groups = sibling_groups(anchors);
  struct Part {
    std::vector<std::uint32_t> items, counts;
    std::vector<Tids> sets;
    std::vector<std::uint32_t> top_items, top_counts;
  };
  auto count_range = [&](IndexRange range, Part& part) {
    std::vector<std::uint32_t> position(in.index.item_space, 0);  // sibling index + 1
    std::vector<std::uint32_t> cells, siblings, chosen, kept, buffer, gate, spare, extended;
    std::vector<std::vector<std::uint32_t>> lists;  // by sibling index + 1
    // The level above from one kept extension (`extended`, whose transactions are `tids`) and
    // the later ones of its group, `kept[x + 1..]`, as the next level would count them: the
    // same candidates in each counter's way, walked over the same transactions.
    auto count_top_from = [&](std::span<const std::uint32_t> extended,
                              std::span<const std::uint32_t> tids, std::size_t x) {
      const std::uint32_t own = siblings[kept[x]];
      chosen.clear();
      if (choice == SiblingChoice::kNeighborGate) {
        intersect_neighbors(*in.neighbors, extended, gate, spare);
        auto g_it = gate.begin();
        for (std::size_t y = x + 1; y < kept.size() && g_it != gate.end(); ++y) {
          g_it = std::lower_bound(g_it, gate.end(), siblings[kept[y]]);
          if (g_it != gate.end() && *g_it == siblings[kept[y]]) chosen.push_back(kept[y]);
        }
      } else {
        for (std::size_t y = x + 1; y < kept.size(); ++y)
          if (choice != SiblingChoice::kCheckFirst || in.pairs.contains(own, siblings[kept[y]]))
            chosen.push_back(kept[y]);
      }
      if (chosen.empty()) return;
      for (std::uint32_t j : chosen) position[siblings[j]] = j + 1;
      const std::uint32_t lowest = siblings[chosen.front()];
      std::uint32_t* counts = cells.data();
      reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
        for (const std::uint32_t item : items_from(items, lowest)) ++counts[position[item]];
      });
      counts[0] = 0;
      for (std::uint32_t j : chosen) {
        position[siblings[j]] = 0;
        const std::uint32_t count = counts[j + 1];
        counts[j + 1] = 0;
        if (count < in.min_count) continue;
        if (choice == SiblingChoice::kCountThenCheck && !in.pairs.empty() &&
            !in.pairs.contains(own, siblings[j]))
          continue;
        part.top_items.insert(part.top_items.end(), extended.begin(), extended.end());
        part.top_items.push_back(siblings[j]);
        part.top_counts.push_back(count);
      }
    };
    // Each range holds whole groups, so no other worker reads a spent group's sets.
    auto spend_group = [&](std::size_t g) {
      if (spent == nullptr) return;
      for (std::uint32_t r = groups.starts[g]; r < groups.starts[g + 1]; ++r)
        spent->tids[groups.rows[r]] = Tids{};
    };
    for (std::size_t g = range.begin; g < range.end; ++g) {
      throw_if_cancelled();
      if (g > range.begin) spend_group(g - 1);
      const std::uint32_t first = groups.starts[g], end = groups.starts[g + 1];
      if (end - first < 2) continue;
      siblings.clear();
      for (std::uint32_t r = first; r < end; ++r)
        siblings.push_back(anchors.row(groups.rows[r])[width - 1]);
      cells.assign(siblings.size() + 1, 0);
      for (std::size_t i = 0; i + 1 < siblings.size(); ++i) {
        const std::uint32_t row = groups.rows[first + i];
        const Tids& set = memo.tids[row];
        if (set_length(set) < in.min_count) continue;
        const auto anchor = anchors.row(row);
        chosen.clear();
        if (choice == SiblingChoice::kNeighborGate) {
          intersect_neighbors(*in.neighbors, anchor, gate, spare);
          auto g_it = std::upper_bound(gate.begin(), gate.end(), siblings[i]);
          for (std::size_t j = i + 1; j < siblings.size() && g_it != gate.end(); ++j) {
            g_it = std::lower_bound(g_it, gate.end(), siblings[j]);
            if (g_it != gate.end() && *g_it == siblings[j]) chosen.push_back(static_cast<std::uint32_t>(j));
          }
        } else {
          for (std::size_t j = i + 1; j < siblings.size(); ++j)
            if (choice != SiblingChoice::kCheckFirst || in.pairs.contains(siblings[i], siblings[j]))
              chosen.push_back(static_cast<std::uint32_t>(j));
        }
        if (chosen.empty()) continue;
        for (std::uint32_t j : chosen) position[siblings[j]] = j + 1;
        const std::uint32_t lowest = siblings[chosen.front()];
        const auto tids = walk(set, buffer);
        std::uint32_t* counts = cells.data();
        reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
          for (const std::uint32_t item : items_from(items, lowest)) ++counts[position[item]];
        });
        counts[0] = 0;  // items that are no chosen sibling
        for (std::uint32_t j : chosen) position[siblings[j]] = 0;
        kept.clear();
        for (std::uint32_t j : chosen) {
          const std::uint32_t count = counts[j + 1];
          counts[j + 1] = 0;
          if (count < in.min_count) continue;
          if (choice == SiblingChoice::kCountThenCheck && !in.pairs.empty() &&
              !in.pairs.contains(siblings[i], siblings[j]))
            continue;
          kept.push_back(j);
          part.items.insert(part.items.end(), anchor.begin(), anchor.end());
          part.items.push_back(siblings[j]);
          part.counts.push_back(count);
        }
        // A level nothing extends keeps no sets at all (its memo holds counts only).
        if (!in.keep_sets || kept.empty()) continue;
        // The kept extensions make one group of siblings at the next level, where every
        // member but the last is walked: the last keeps no set (nor does a lone one), since
        // nothing reads it. The others' transactions are listed by a second walk, which
        // marks those few only: the set of each is its list, with no intersection.
        for (std::size_t x = 0; x + 1 < kept.size(); ++x) position[siblings[kept[x]]] = kept[x] + 1;
        if (kept.size() > 1) {
          if (lists.size() < siblings.size() + 1) lists.resize(siblings.size() + 1);
          const std::uint32_t first_kept = siblings[kept.front()];
          reduced.scan_indexed(tids, [&](std::uint32_t t, std::span<const std::uint32_t> items) {
            for (const std::uint32_t item : items_from(items, first_kept))
              if (const std::uint32_t p = position[item]) lists[p].push_back(t);
          });
        }
        for (std::size_t x = 0; x + 1 < kept.size(); ++x) position[siblings[kept[x]]] = 0;
        for (std::size_t x = 0; x + 1 < kept.size(); ++x) {
          std::vector<std::uint32_t>& list = lists[kept[x] + 1];
          if (top != nullptr) {
            extended.assign(anchor.begin(), anchor.end());
            extended.push_back(siblings[kept[x]]);
            count_top_from(extended, list, x);
          } else {
            part.sets.push_back(memo_set_of<Tids>(list));
          }
          list.clear();
        }
        if (top == nullptr) part.sets.push_back(Tids{});
      }
    }
    if (range.end > range.begin) spend_group(range.end - 1);
  };
  std::vector<Part> parts = count_groups_in_parts<Part>(groups, anchors, count_range);
  std::size_t total = 0, top_total = 0;
  for (const Part& part : parts) {
    total += part.counts.size();
    top_total += part.top_counts.size();
  }
  std::vector<std::uint32_t> items, counts, top_items, top_counts;
  Memo<Tids> level(width + 1);
  items.reserve(total * (width + 1));
  counts.reserve(total);
  top_items.reserve(top_total * (width + 2));
  top_counts.reserve(top_total);
  level.tids.reserve(top == nullptr ? total : 0);
  for (Part& part : parts) {
    items.insert(items.end(), part.items.begin(), part.items.end());
    counts.insert(counts.end(), part.counts.begin(), part.counts.end());
    top_items.insert(top_items.end(), part.top_items.begin(), part.top_items.end());
    top_counts.insert(top_counts.end(), part.top_counts.begin(), part.top_counts.end());
    for (Tids& set : part.sets) level.tids.push_back(std::move(set));
    part = Part{};
  }
  if (top != nullptr) {
    top->lower = ItemsetTable::from_distinct_rows(width + 1, std::move(items), std::move(counts));
    top->top = ItemsetTable::from_distinct_rows(width + 2, std::move(top_items),
                                                std::move(top_counts));
    return level;
  }
  level.itemsets = ItemsetTable::from_distinct_rows(width + 1, std::move(items), std::move(counts));
  return level;
}

// The two top levels of a pipeline, counts only, from the memo of the level below them.
template <class Tids>
TopTables count_top_levels_by_siblings(const MemoLevelInput& in, const Memo<Tids>& memo,
                                       SiblingChoice choice, Memo<Tids>* spent = nullptr) {
  TopTables tables{ItemsetTable(memo.itemsets.width() + 1), ItemsetTable(memo.itemsets.width() + 2)};
  count_memo_level_by_siblings(in, memo, choice, &tables, spent);
  return tables;
}

}  // namespace tallyfold
