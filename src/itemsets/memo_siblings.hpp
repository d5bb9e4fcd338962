#pragma once
// The memo counters' level with prefix anchors (no cap, a min count of at least 1), by groups
// of sibling anchors (see sibling_groups.hpp): an anchor's transactions still come from its
// memo entry and are still walked, but only the siblings above the anchor's last item are
// taken, since no other item can make a frequent extension. One walk lists, for each chosen
// sibling, the anchor's transactions that hold it: the list's length is the extension's
// count, and a kept extension's list is its memo entry (the anchor's set intersected with the
// item's, without the intersection). Where the lists could pass tuning::kListedWords, the
// chosen are counted first and a second walk lists the kept only. An itemset that will be the
// last of its group at the next level keeps no set, since nothing reads it. Rows, counts and
// sets are those of the general step; rows come out in lexicographic order, each once.

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/flat_memo.hpp"
#include "itemsets/memo_extend.hpp"
#include "itemsets/sibling_groups.hpp"

namespace tallyfold {

// Which siblings above an anchor's last item a memo counter counts, each counter in its way.
enum class SiblingChoice {
  kCountThenCheck,   // every one; the pair with the anchor's last is checked on the survivors
  kCheckFirst,       // only those forming a frequent pair with the anchor's last (prefilter)
  kNeighborGate,     // only those in every anchor item's pair-neighbor list (gating)
};

// How the sibling walk reads and writes each kind of memo: one set object per row, one
// level's sets back to back (FlatMemo), or pairs whose sets are made group by group
// (PairMemo). A worker's `Reader` is told each group before its rows are walked; `Part`
// gathers one range's new sets in row order, and `Level` is the kind of the new level.
template <class MemoType>
struct SiblingSets;

// Nothing to prepare per group: every row's set is held, as transactions.
struct HeldSetsReader {
  void begin_group(const ReducedTransactions&, std::span<const std::uint32_t>,
                   std::span<const std::uint32_t>, std::span<const std::uint32_t>) {}
  // Calls visit(h, items) for each entry h of a set that walk_row gave, or of a list of such
  // entries, with the items of its transaction.
  template <class Visit>
  void scan(const ReducedTransactions& reduced, std::span<const std::uint32_t> set,
            Visit&& visit) const {
    reduced.scan_indexed(set, visit);
  }
  // The transactions of a list of entries: the entries are transactions here.
  std::span<const std::uint32_t> transactions(std::span<const std::uint32_t> entries,
                                              std::vector<std::uint32_t>&) const {
    return entries;
  }
};

template <class Tids>
struct SiblingSets<Memo<Tids>> {
  using Level = Memo<Tids>;
  using Part = std::vector<Tids>;
  using Reader = HeldSetsReader;
  static Reader reader(const Memo<Tids>&) { return {}; }
  static Part part(const Memo<Tids>&) { return {}; }
  static std::span<const std::uint32_t> walk_row(const Memo<Tids>& memo, const Reader&,
                                                 std::uint32_t row, std::size_t,
                                                 std::vector<std::uint32_t>& buffer) {
    return walk(memo.tids[row], buffer);
  }
  static void add(Part& part, std::span<const std::uint32_t> tids) {
    if constexpr (std::is_same_v<Tids, Bitmap>)
      part.push_back(Bitmap::of(tids));
    else
      part.push_back(TidList::of(tids));
  }
  static void add_none(Part& part) { part.emplace_back(); }
  static Level level(const Memo<Tids>&, ItemsetTable itemsets, std::vector<Part>& parts) {
    Level level(itemsets.width());
    std::size_t total = 0;
    for (const Part& part : parts) total += part.size();
    level.tids.reserve(total);
    for (Part& part : parts) {
      for (Tids& set : part) level.tids.push_back(std::move(set));
      part = Part{};
    }
    level.itemsets = std::move(itemsets);
    return level;
  }
};

// New levels of flat sets, from flat sets or from pairs.
struct FlatLevelSets {
  using Level = FlatMemo;
  using Part = FlatSets;
  static void add(Part& part, std::span<const std::uint32_t> tids) { part.append(tids); }
  static void add_none(Part& part) { part.append_none(); }
  static Level level(std::uint32_t n_transactions, bool adaptive, ItemsetTable itemsets,
                     std::vector<Part>& parts) {
    FlatMemo level{std::move(itemsets), n_transactions, adaptive, {}, {}};
    std::size_t row = 0;
    for (Part& part : parts) {
      if (part.size() == 0) continue;
      level.first_row.push_back(row);
      row += part.size();
      level.parts.push_back(std::move(part));
    }
    return level;
  }
};

template <>
struct SiblingSets<FlatMemo> : FlatLevelSets {
  using Reader = HeldSetsReader;
  static Reader reader(const FlatMemo&) { return {}; }
  static Part part(const FlatMemo& memo) { return FlatSets(memo.n_transactions, memo.adaptive); }
  static std::span<const std::uint32_t> walk_row(const FlatMemo& memo, const Reader&,
                                                 std::uint32_t row, std::size_t,
                                                 std::vector<std::uint32_t>& buffer) {
    return memo.walk(row, buffer);
  }
  static Level level(const FlatMemo& memo, ItemsetTable itemsets, std::vector<Part>& parts) {
    return FlatLevelSets::level(memo.n_transactions, memo.adaptive, std::move(itemsets), parts);
  }
};

template <>
struct SiblingSets<PairMemo> : FlatLevelSets {
  struct Reader {
    const InvertedIndex& index;
    PairGroupSets sets;
    void begin_group(const ReducedTransactions& reduced, std::span<const std::uint32_t> prefix,
                     std::span<const std::uint32_t> siblings,
                     std::span<const std::uint32_t> counts) {
      sets.begin_group(index, reduced, prefix[0], siblings, counts);
    }
    // A projected group's sets list rows, whose items are the siblings alone.
    template <class Visit>
    void scan(const ReducedTransactions& reduced, std::span<const std::uint32_t> set,
              Visit&& visit) const {
      if (!sets.projected()) return reduced.scan_indexed(set, visit);
      for (const std::uint32_t row : set) visit(row, sets.items(row));
    }
    std::span<const std::uint32_t> transactions(std::span<const std::uint32_t> entries,
                                                std::vector<std::uint32_t>& buffer) const {
      if (!sets.projected()) return entries;
      buffer.resize(entries.size());
      for (std::size_t e = 0; e < entries.size(); ++e) buffer[e] = sets.txn(entries[e]);
      return buffer;
    }
  };
  static Reader reader(const PairMemo& memo) {
    return Reader{*memo.index, PairGroupSets(memo.index->item_space)};
  }
  static Part part(const PairMemo& memo) {
    return FlatSets(memo.index->n_transactions, memo.adaptive);
  }
  static std::span<const std::uint32_t> walk_row(const PairMemo&, Reader& reader,
                                                 std::uint32_t, std::size_t i,
                                                 std::vector<std::uint32_t>&) {
    return reader.sets.set(i);
  }
  static Level level(const PairMemo& memo, ItemsetTable itemsets, std::vector<Part>& parts) {
    return FlatLevelSets::level(memo.index->n_transactions, memo.adaptive, std::move(itemsets),
                                parts);
  }
};

// The level from the memo of the previous one. With `top` the level's sets are not kept:
// each kept group's lists are read at once to count the level above into `*top` (the two top
// levels of a pipeline), so no set of the level outlives its group.
template <class MemoType>
typename SiblingSets<MemoType>::Level count_memo_level_by_siblings(const MemoLevelInput& in, const MemoType& memo,
                                      SiblingChoice choice, TopTables* top = nullptr) {
  using Sets = SiblingSets<MemoType>;
  const ItemsetTable& anchors = memo.itemsets;
  const std::size_t width = anchors.width();
  const auto flags = frequent_item_flags(anchors, in.index.item_space);
  const ReducedTransactions reduced =
      reduce_transactions(in.index, flags, in.k, in.item_weights, in.max_items_per_txn, true);
  const SiblingGroups groups = sibling_groups(anchors);
  struct Part {
    std::vector<std::uint32_t> items, counts;
    typename Sets::Part sets;
    std::vector<std::uint32_t> top_items, top_counts;
  };
  auto count_range = [&](IndexRange range, Part& part) {
    part.sets = Sets::part(memo);
    typename Sets::Reader reader = Sets::reader(memo);
    std::vector<std::uint32_t> position(in.index.item_space, 0);  // sibling index + 1
    std::vector<std::uint32_t> cells, siblings, sibling_counts, chosen, kept, buffer, spare,
        extended, slots, txns;
    // The gating counter's gate, narrowed item by item: the items pairing with every item of
    // the group's prefix (flagged by sibling), then each candidate sibling is kept only if it
    // is in the neighbor list of the anchor's last item (and, at the top, of the extension's),
    // found by merging that list with the ascending candidates.
    std::vector<std::uint32_t> group_gate;
    std::vector<std::uint8_t> in_group_gate;
    auto keep_neighbors_of = [&](std::uint32_t item, std::vector<std::uint32_t>& candidates) {
      const auto with = in.neighbors->of(item);
      auto w = with.begin();
      std::size_t kept_n = 0;
      for (const std::uint32_t j : candidates) {
        w = std::lower_bound(w, with.end(), siblings[j]);
        if (w == with.end()) break;
        if (*w == siblings[j]) candidates[kept_n++] = j;
      }
      candidates.resize(kept_n);
    };
    // Per slot (sibling index + 1), where its list starts and ends in `listed`.
    std::vector<std::size_t> list_begin, list_end;
    UninitVector<std::uint32_t> listed;
    // The level above from one kept extension (`extended`, whose set is `tids`, in the
    // reader's entries) and the later ones of its group, `kept[x + 1..]`, as the next level
    // would count them: the same candidates in each counter's way, walked over the same
    // transactions.
    auto count_top_from = [&](std::span<const std::uint32_t> extended,
                              std::span<const std::uint32_t> tids, std::size_t x) {
      const std::uint32_t own = siblings[kept[x]];
      chosen.clear();
      if (choice == SiblingChoice::kNeighborGate) {
        chosen.assign(kept.begin() + static_cast<std::ptrdiff_t>(x) + 1, kept.end());
        keep_neighbors_of(own, chosen);
      } else {
        for (std::size_t y = x + 1; y < kept.size(); ++y)
          if (choice != SiblingChoice::kCheckFirst || in.pairs.contains(own, siblings[kept[y]]))
            chosen.push_back(kept[y]);
      }
      if (chosen.empty()) return;
      for (std::uint32_t j : chosen) position[siblings[j]] = j + 1;
      const std::uint32_t lowest = siblings[chosen.front()];
      std::uint32_t* counts = cells.data();
      reader.scan(reduced, tids, [&](std::uint32_t, std::span<const std::uint32_t> items) {
        const std::size_t n = chosen_slots(items, lowest, position.data(), slots.data());
        for (std::size_t q = 0; q < n; ++q) ++counts[slots[q]];
      });
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
    for (std::size_t g = range.begin; g < range.end; ++g) {
      throw_if_cancelled();
      const std::uint32_t first = groups.starts[g], end = groups.starts[g + 1];
      if (end - first < 2) continue;
      siblings.clear();
      sibling_counts.clear();
      for (std::uint32_t r = first; r < end; ++r) {
        siblings.push_back(anchors.row(groups.rows[r])[width - 1]);
        sibling_counts.push_back(anchors.count(groups.rows[r]));
      }
      const auto prefix = anchors.row(groups.rows[first]).first(width - 1);
      reader.begin_group(reduced, prefix, siblings, sibling_counts);
      if (choice == SiblingChoice::kNeighborGate) {
        intersect_neighbors(*in.neighbors, prefix, group_gate, spare);
        in_group_gate.assign(siblings.size(), 0);
        auto g = group_gate.begin();
        for (std::size_t j = 0; j < siblings.size() && g != group_gate.end(); ++j) {
          g = std::lower_bound(g, group_gate.end(), siblings[j]);
          in_group_gate[j] = g != group_gate.end() && *g == siblings[j];
        }
      }
      cells.assign(siblings.size() + 1, 0);
      slots.resize(siblings.size() + 1);
      list_begin.resize(siblings.size() + 1);
      list_end.resize(siblings.size() + 1);
      for (std::size_t i = 0; i + 1 < siblings.size(); ++i) {
        const std::uint32_t row = groups.rows[first + i];
        if (anchors.count(row) < in.min_count) continue;
        const auto anchor = anchors.row(row);
        chosen.clear();
        if (choice == SiblingChoice::kNeighborGate) {
          for (std::size_t j = i + 1; j < siblings.size(); ++j)
            if (in_group_gate[j]) chosen.push_back(static_cast<std::uint32_t>(j));
          keep_neighbors_of(siblings[i], chosen);
        } else {
          for (std::size_t j = i + 1; j < siblings.size(); ++j)
            if (choice != SiblingChoice::kCheckFirst || in.pairs.contains(siblings[i], siblings[j]))
              chosen.push_back(static_cast<std::uint32_t>(j));
        }
        if (chosen.empty()) continue;
        const auto tids = Sets::walk_row(memo, reader, row, i, buffer);
        // Each chosen sibling's list gets room for the most it can hold: the anchor's
        // transactions, and those of prefix + {sibling}, whose count is exact here (no cap),
        // since every listed transaction holds both. Where that room would pass
        // tuning::kListedWords (a common anchor with many siblings), the chosen are counted
        // first and only the kept listed, by a second walk, so the lists take what the new
        // sets take.
        std::size_t room = 0;
        for (std::uint32_t j : chosen) room += std::min<std::size_t>(tids.size(), sibling_counts[j]);
        const bool list_all = room <= tuning::kListedWords;
        const std::uint32_t lowest = siblings[chosen.front()];
        auto list_walk = [&](std::uint32_t lowest_listed) {
          reader.scan(reduced, tids, [&](std::uint32_t t, std::span<const std::uint32_t> items) {
            const std::size_t n = chosen_slots(items, lowest_listed, position.data(), slots.data());
            for (std::size_t q = 0; q < n; ++q) listed[list_end[slots[q]]++] = t;
          });
        };
        std::size_t at = 0;
        for (std::uint32_t j : chosen) {
          position[siblings[j]] = j + 1;
          list_begin[j + 1] = list_end[j + 1] = at;
          if (list_all) at += std::min<std::size_t>(tids.size(), sibling_counts[j]);
        }
        if (list_all) {
          if (listed.size() < at) listed.resize(at);
          list_walk(lowest);
        } else {
          std::uint32_t* counts = cells.data();
          reader.scan(reduced, tids, [&](std::uint32_t, std::span<const std::uint32_t> items) {
            const std::size_t n = chosen_slots(items, lowest, position.data(), slots.data());
            for (std::size_t q = 0; q < n; ++q) ++counts[slots[q]];
          });
        }
        kept.clear();
        for (std::uint32_t j : chosen) {
          position[siblings[j]] = 0;
          const auto count = static_cast<std::uint32_t>(
              list_all ? list_end[j + 1] - list_begin[j + 1] : std::exchange(cells[j + 1], 0));
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
        // member but the last is walked: the last keeps no set (nor does a lone one).
        if (!list_all && kept.size() > 1) {
          const std::size_t first_count = part.counts.size() - kept.size();
          at = 0;
          for (std::size_t x = 0; x + 1 < kept.size(); ++x) {
            position[siblings[kept[x]]] = kept[x] + 1;
            list_begin[kept[x] + 1] = list_end[kept[x] + 1] = at;
            at += part.counts[first_count + x];
          }
          if (listed.size() < at) listed.resize(at);
          list_walk(siblings[kept.front()]);
          for (std::size_t x = 0; x + 1 < kept.size(); ++x) position[siblings[kept[x]]] = 0;
        }
        for (std::size_t x = 0; x + 1 < kept.size(); ++x) {
          const std::size_t slot = kept[x] + 1;
          const std::span<const std::uint32_t> list(listed.data() + list_begin[slot],
                                                    list_end[slot] - list_begin[slot]);
          if (top != nullptr) {
            extended.assign(anchor.begin(), anchor.end());
            extended.push_back(siblings[kept[x]]);
            count_top_from(extended, list, x);
          } else {
            Sets::add(part.sets, reader.transactions(list, txns));
          }
        }
        if (top == nullptr) Sets::add_none(part.sets);
      }
    }
  };
  std::vector<Part> parts = count_groups_in_parts<Part>(groups, anchors, count_range);
  std::size_t total = 0, top_total = 0;
  for (const Part& part : parts) {
    total += part.counts.size();
    top_total += part.top_counts.size();
  }
  std::vector<std::uint32_t> items, counts, top_items, top_counts;
  items.reserve(total * (width + 1));
  counts.reserve(total);
  top_items.reserve(top_total * (width + 2));
  top_counts.reserve(top_total);
  std::vector<typename Sets::Part> sets;
  sets.reserve(parts.size());
  for (Part& part : parts) {
    items.insert(items.end(), part.items.begin(), part.items.end());
    counts.insert(counts.end(), part.counts.begin(), part.counts.end());
    top_items.insert(top_items.end(), part.top_items.begin(), part.top_items.end());
    top_counts.insert(top_counts.end(), part.top_counts.begin(), part.top_counts.end());
    sets.push_back(std::move(part.sets));
    part = Part{};
  }
  if (top != nullptr) {
    top->lower = ItemsetTable::from_distinct_rows(width + 1, std::move(items), std::move(counts));
    top->top = ItemsetTable::from_distinct_rows(width + 2, std::move(top_items),
                                                std::move(top_counts));
    sets.clear();
    return Sets::level(memo, ItemsetTable::from_distinct_rows(width + 1, {}, {}), sets);
  }
  return Sets::level(
      memo, ItemsetTable::from_distinct_rows(width + 1, std::move(items), std::move(counts)),
      sets);
}

// The two top levels of a pipeline, counts only, from the memo of the level below them.
template <class MemoType>
TopTables count_top_levels_by_siblings(const MemoLevelInput& in, const MemoType& memo,
                                       SiblingChoice choice) {
  TopTables tables{ItemsetTable(memo.itemsets.width() + 1), ItemsetTable(memo.itemsets.width() + 2)};
  count_memo_level_by_siblings(in, memo, choice, &tables);
  return tables;
}

}  // namespace tallyfold
