#pragma once
// The memo counters' level with prefix anchors (no cap, a min count of at least 1), by groups
// of sibling anchors (see sibling_groups.hpp): an anchor's transactions still come from its
// memo entry and are still walked, but only the siblings above the anchor's last item are
// taken, since no other item can make a frequent extension. One walk lists, for each chosen
// sibling, the anchor's transactions that hold it: the list's length is the extension's
// count, and a kept extension's list is its memo entry (the anchor's set intersected with the
// item's, without the intersection). Where the lists could pass tuning::listed_words, the
// chosen are counted first and a second walk lists the kept only. An itemset that will be the
// last of its group at the next level keeps no set, since nothing reads it. Rows, counts and
// sets are those of the general step; rows come out in lexicographic order, each once.
//
// Where no later level reads a group of pairs' sets (the levels above go depth first, or
// this level is the last), a group dense enough is held as bitsets over its rows instead
// (see group_bitsets.hpp), and every extension below it is counted by one AND: the same
// candidates, kept by the same checks. On Groceries (count 10, k_max 6) this took the memo
// counters from 5.8 to 3.0 ms.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <numeric>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "common/bitset_kernels.hpp"
#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "itemsets/flat_memo.hpp"
#include "itemsets/group_bitsets.hpp"
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
// each kept group's lists are read at once to count the level above, and so on depth first
// up to level `top_k` (0 for the level above this one): `*top` gets levels top_k - 1 and
// top_k, or, where a level below them is empty, that level (empty) as `lower`. No set
// outlives its group, and a level below the top two is never held.
template <class MemoType>
typename SiblingSets<MemoType>::Level count_memo_level_by_siblings(const MemoLevelInput& in, const MemoType& memo,
                                      SiblingChoice choice, TopTables* top = nullptr,
                                      std::size_t top_k = 0) {
  using Sets = SiblingSets<MemoType>;
  const ItemsetTable& anchors = memo.itemsets;
  const std::size_t width = anchors.width();
  const auto flags = frequent_item_flags(anchors, in.index.item_space);
  const ReducedTransactions reduced =
      reduce_transactions(in.index, flags, in.k, in.item_weights, in.max_items_per_txn, true);
  const SiblingGroups groups = sibling_groups(anchors);
  if (top_k == 0) top_k = width + 2;
  // Where this level's rows go: below the top two levels they are only counted.
  const bool level_rows_kept = top == nullptr || top_k == width + 2;
  struct Part {
    std::vector<std::uint32_t> items, counts;  // this level's rows, or level top_k - 1's
    typename Sets::Part sets;
    std::vector<std::uint32_t> top_items, top_counts;
    std::vector<std::size_t> found;  // per level from this one, rows below the top two
  };
  auto count_found = [](Part& part, std::size_t at, std::size_t rows) {
    if (part.found.size() <= at) part.found.resize(at + 1, 0);
    part.found[at] += rows;
  };
  // A worker's group bitsets, kept from range to range with the group they were built for. A
  // group split between ranges is prepared by each of them; the ranges that follow one
  // another on a worker (most of them: a worker takes its ranges in order) build it once.
  struct WorkerBits {
    std::optional<GroupBitsets> bits;
    std::size_t group = SIZE_MAX;
  };
  tbb::enumerable_thread_specific<WorkerBits> worker_bits;
  auto count_range = [&](IndexRange range, Part& part) {
    part.sets = Sets::part(memo);
    typename Sets::Reader reader = Sets::reader(memo);
    std::vector<std::uint32_t> position(in.index.item_space, 0);  // sibling index + 1
    std::vector<std::uint32_t> cells, siblings, sibling_counts, chosen, kept, buffer, spare,
        extended, slots, txns;
    // Every sibling of a wide group, marked once for the group (sibling index + 1), for the
    // anchors counted by count_met and those chosen from their neighbor lists.
    bool group_marked = false;
    std::vector<std::uint32_t> group_position(in.index.item_space, 0);
    std::vector<std::uint64_t> hit_slots;  // by slot: met by the anchor's walk, zero between
    std::vector<std::uint64_t> anchor_kept_flags;  // an anchor's kept list, for count_met
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
    // The siblings after anchor i of the group that the counter counts, into `out`.
    auto choose_for_anchor = [&](std::size_t i, std::vector<std::uint32_t>& out) {
      out.clear();
      // The counters that choose by the pair with sibling i: in a marked group, where sibling
      // i pairs with fewer items above it than there are siblings above it, its neighbor
      // list is walked instead of testing every sibling. Both ascend, so the order holds.
      if (group_marked && choice != SiblingChoice::kCountThenCheck) {
        const auto with = in.neighbors->of(siblings[i]);
        const auto above = std::upper_bound(with.begin(), with.end(), siblings[i]);
        if (static_cast<std::size_t>(with.end() - above) < siblings.size() - i - 1) {
          for (auto item = above; item != with.end(); ++item) {
            const std::uint32_t slot = group_position[*item];
            if (slot != 0 && (choice != SiblingChoice::kNeighborGate || in_group_gate[slot - 1]))
              out.push_back(slot - 1);
          }
          return;
        }
      }
      if (choice == SiblingChoice::kNeighborGate) {
        for (std::size_t j = i + 1; j < siblings.size(); ++j)
          if (in_group_gate[j]) out.push_back(static_cast<std::uint32_t>(j));
        keep_neighbors_of(siblings[i], out);
      } else if (choice == SiblingChoice::kCheckFirst) {
        for (std::size_t j = i + 1; j < siblings.size(); ++j)
          if (in.pairs.contains(siblings[i], siblings[j]))
            out.push_back(static_cast<std::uint32_t>(j));
      } else {
        out.resize(siblings.size() - i - 1);
        std::iota(out.begin(), out.end(), static_cast<std::uint32_t>(i + 1));
      }
    };
    // The members after member x (item `own`) of a kept group that the counter counts.
    auto choose_members = [&](std::span<const std::uint32_t> members, std::size_t x,
                              std::uint32_t own, std::vector<std::uint32_t>& out) {
      out.clear();
      if (choice != SiblingChoice::kCheckFirst) {
        out.assign(members.begin() + static_cast<std::ptrdiff_t>(x) + 1, members.end());
        if (choice == SiblingChoice::kNeighborGate) keep_neighbors_of(own, out);
      } else {
        for (std::size_t y = x + 1; y < members.size(); ++y)
          if (in.pairs.contains(own, siblings[members[y]])) out.push_back(members[y]);
      }
    };
    // Whether the extension of an itemset ending in `own` by sibling j, of `count`, is kept.
    auto keeps = [&](std::uint32_t own, std::uint32_t j, std::uint32_t count) {
      if (count < in.min_count) return false;
      return choice != SiblingChoice::kCountThenCheck || in.pairs.empty() ||
             in.pairs.contains(own, siblings[j]);
    };
    // The chosen siblings' lists of one walk, by slot (sibling index + 1): where each starts
    // and ends in `entries`, and the count of each kept one (whose list is exactly that long).
    struct Lists {
      std::vector<std::size_t> begin, end;
      std::vector<std::uint32_t> count;
      UninitVector<std::uint32_t> entries;
      void fit(std::size_t slots) {
        if (begin.size() >= slots) return;
        begin.resize(slots);
        end.resize(slots);
        count.resize(slots);
      }
      std::span<const std::uint32_t> of(std::uint32_t j) const {
        return {entries.data() + begin[j + 1], end[j + 1] - begin[j + 1]};
      }
    };
    // `bound[j]` bounds sibling j's set within a group: a count of the anchors' level, or, in
    // a deeper group, the member's own count (Lists::count from its slot on).
    // Lists, for each marked sibling from `lowest` on, the entries of `tids` that hold it.
    auto list_walk = [&](std::span<const std::uint32_t> tids, std::uint32_t lowest,
                         Lists& lists) {
      reader.scan(reduced, tids, [&](std::uint32_t t, std::span<const std::uint32_t> items) {
        const std::size_t n = chosen_slots(items, lowest, position.data(), slots.data());
        for (std::size_t q = 0; q < n; ++q) lists.entries[lists.end[slots[q]]++] = t;
      });
    };
    // Marks the chosen and walks `tids` once. Each chosen sibling's list gets room for the
    // most it can hold, the least of |tids| and its bound, since every listed entry holds
    // both; where that room would pass tuning::listed_words (a common anchor with many
    // siblings), the chosen are counted into `cells` instead, and list_kept lists the kept
    // only, so the lists take what the new sets take. Returns whether it listed. The marks
    // stay until the caller has read the counts.
    auto walk_chosen = [&](std::span<const std::uint32_t> tids,
                           const std::vector<std::uint32_t>& chosen,
                           const std::uint32_t* bound,
                           bool may_list, Lists& lists) {
      std::size_t room = 0;
      if (may_list)
        for (std::uint32_t j : chosen) room += std::min<std::size_t>(tids.size(), bound[j]);
      const bool list_all = may_list && room <= tuning::listed_words(in.index.txn_items.size());
      lists.fit(siblings.size() + 1);
      std::size_t at = 0;
      for (std::uint32_t j : chosen) {
        position[siblings[j]] = j + 1;
        lists.begin[j + 1] = lists.end[j + 1] = at;
        if (list_all) at += std::min<std::size_t>(tids.size(), bound[j]);
      }
      const std::uint32_t lowest = siblings[chosen.front()];
      if (list_all) {
        if (lists.entries.size() < at) lists.entries.resize(at);
        list_walk(tids, lowest, lists);
        return true;
      }
      std::uint32_t* counts = cells.data();
      reader.scan(reduced, tids, [&](std::uint32_t, std::span<const std::uint32_t> items) {
        const std::size_t n = chosen_slots(items, lowest, position.data(), slots.data());
        for (std::size_t q = 0; q < n; ++q) ++counts[slots[q]];
      });
      return false;
    };
    // Anchor i of a wide group whose siblings above far outnumber the entries of its set,
    // where every sibling above is chosen: choosing and marking each of them, then reading
    // each one's cell, would cost more than the walk. The walk counts every sibling above i
    // instead (the group is marked as a whole) and `out` gets those it met, ascending, their
    // counts left in `cells` as after walk_chosen's counting. A sibling no entry holds has a
    // count of 0 and is never kept, so the rows are those of the general path. For a member
    // of a kept group, `members` flags the group's members by slot and only they count.
    auto count_met = [&](std::size_t i, std::span<const std::uint32_t> tids,
                         const std::uint64_t* members, std::vector<std::uint32_t>& out) {
      std::uint32_t* counts = cells.data();
      std::uint64_t* hits = hit_slots.data();
      // Short rows are read whole, siblings up to i included: their slots add nothing.
      const std::uint32_t first_slot = static_cast<std::uint32_t>(i + 2);
      reader.scan(reduced, tids, [&](std::uint32_t, std::span<const std::uint32_t> items) {
        const std::size_t n =
            chosen_slots(items, siblings[i + 1], group_position.data(), slots.data());
        count_met_slots(slots.data(), n, first_slot, members, counts, hits);
      });
      // The slots met, ascending (their bits go back to zero).
      out.resize(siblings.size());
      std::size_t n_met = 0;
      take_met_slots(hits, hit_slots.size(), first_slot,
                     [&](std::uint32_t p) { out[n_met++] = p - 1; });
      out.resize(n_met);
    };
    // Whether a set `entries` long with `later` siblings or members after it is better
    // counted by count_met than by reading every one of them.
    auto far_more_later = [](std::size_t later, std::size_t entries) {
      return later > tuning::kSparseSiblingsPerEntry * entries;
    };
    // Whether member x of `members` (its set `entries` long) is counted by count_met: the
    // group is wide and flagged, and x has far more later members than entries.
    auto counts_met = [&](const std::uint64_t* flags, std::span<const std::uint32_t> members,
                          std::size_t x, std::size_t entries) {
      return flags != nullptr && far_more_later(members.size() - x - 1, entries);
    };
    // A kept list flagged by slot for count_met, where the group is wide and so is the list;
    // null otherwise.
    auto flag_members = [&](bool wide_group, const std::vector<std::uint32_t>& members,
                            std::vector<std::uint64_t>& flags) -> const std::uint64_t* {
      if (!wide_group || members.size() <= tuning::kWideSiblingGroup) return nullptr;
      flags.assign(siblings.size() / 64 + 1, 0);
      for (const std::uint32_t j : members)
        flags[(j + 1) >> 6] |= std::uint64_t{1} << ((j + 1) & 63);
      return flags.data();
    };
    // A chosen sibling's count after walk_chosen, its mark and cell cleared.
    auto take_count = [&](std::uint32_t j, bool listed, const Lists& lists) {
      position[siblings[j]] = 0;
      return static_cast<std::uint32_t>(listed ? lists.end[j + 1] - lists.begin[j + 1]
                                               : std::exchange(cells[j + 1], 0));
    };
    // The second walk after counting: lists every kept sibling but the last (whose set
    // nothing reads), each with room for its count.
    auto list_kept = [&](std::span<const std::uint32_t> tids,
                         const std::vector<std::uint32_t>& kept_now, Lists& lists) {
      std::size_t at = 0;
      for (std::size_t x = 0; x + 1 < kept_now.size(); ++x) {
        const std::uint32_t j = kept_now[x];
        position[siblings[j]] = j + 1;
        lists.begin[j + 1] = lists.end[j + 1] = at;
        at += lists.count[j + 1];
      }
      if (lists.entries.size() < at) lists.entries.resize(at);
      list_walk(tids, siblings[kept_now.front()], lists);
      for (std::size_t x = 0; x + 1 < kept_now.size(); ++x) position[siblings[kept_now[x]]] = 0;
    };
    // The anchors' own lists, and per level above them one kept group being extended depth
    // first: its chosen and kept siblings, the itemset of its member being extended, and
    // that member's extensions' lists. Deeper levels are added while outer ones are read.
    Lists listed;
    // A kept group's sets as bitsets (see GroupBitsets): chosen sibling j's at slot[j].
    struct BitSets {
      UninitVector<std::uint64_t> bits;
      std::vector<std::uint32_t> slot;
      void fit(std::size_t sets, std::size_t words, std::size_t siblings) {
        if (bits.size() < sets * words) bits.resize(sets * words);
        if (slot.size() < siblings) slot.resize(siblings);
      }
      const std::uint64_t* of(std::uint32_t j, std::size_t words) const {
        return bits.data() + slot[j] * words;
      }
    };
    struct DeepGroup {
      std::vector<std::uint32_t> chosen, kept, itemset;
      std::vector<std::uint64_t> kept_flags;  // for count_met, where the kept list is wide
      Lists lists;
      BitSets sets;
    };
    std::deque<DeepGroup> deep;
    // Records a deep group's kept extension by sibling j where it is one of the top two levels.
    auto record_deep = [&](DeepGroup& d, std::uint32_t j, std::uint32_t count, std::size_t level) {
      if (level + 1 < top_k) return;
      const bool at_top = level == top_k;
      d.itemset.back() = siblings[j];
      auto& items = at_top ? part.top_items : part.items;
      items.insert(items.end(), d.itemset.begin(), d.itemset.end());
      (at_top ? part.top_counts : part.counts).push_back(count);
    };
    // The deep group that extends member x of `members` (whose itemset is `extended`): its
    // chosen later members, no kept ones yet, and the itemset with room for the extension's
    // item; null where no member is chosen. With `met_in` (the members' flags), the chosen
    // are those the walk of `tids` meets, already counted (count_met).
    auto open_deep = [&](std::span<const std::uint32_t> members, std::size_t x,
                         std::span<const std::uint32_t> extended,
                         const std::uint64_t* met_in = nullptr,
                         std::span<const std::uint32_t> tids = {}) -> DeepGroup* {
      const std::size_t at = extended.size() + 1 - width - 2;
      if (deep.size() <= at) deep.resize(at + 1);
      DeepGroup& d = deep[at];
      if (met_in != nullptr) {
        d.lists.fit(siblings.size() + 1);
        count_met(members[x], tids, met_in, d.chosen);
      } else {
        choose_members(members, x, siblings[members[x]], d.chosen);
      }
      if (d.chosen.empty()) return nullptr;
      d.kept.clear();
      d.itemset.assign(extended.begin(), extended.end());
      d.itemset.push_back(0);
      return &d;
    };
    // Extends member x of a kept group (`members`, whose itemsets are `extended` minus its
    // last item plus each member's sibling) by the later members, as the next level would
    // count it: the same candidates in each counter's way, walked over the member's set
    // `tids` (in the reader's entries). `bound[j]` is an upper bound of member j's set. At
    // level top_k the extensions are counted only; below it they are listed, and the kept
    // ones are extended in turn.
    // `flags`, where not null, flags the members by slot (see flag_members).
    auto extend_member = [&](auto& self, std::span<const std::uint32_t> members, std::size_t x,
                             std::span<const std::uint32_t> extended,
                             std::span<const std::uint32_t> tids,
                             const std::uint32_t* bound, const std::uint64_t* flags) -> void {
      const bool met = counts_met(flags, members, x, tids.size());
      DeepGroup* opened = open_deep(members, x, extended, met ? flags : nullptr, tids);
      if (opened == nullptr) return;
      DeepGroup& d = *opened;
      const std::uint32_t own = siblings[members[x]];
      const std::size_t level = extended.size() + 1;  // of the new itemsets
      const bool at_top = level == top_k;
      const bool listed_all = !met && walk_chosen(tids, d.chosen, bound, !at_top, d.lists);
      for (std::uint32_t j : d.chosen) {
        const std::uint32_t count = take_count(j, listed_all, d.lists);
        if (!keeps(own, j, count)) continue;
        d.kept.push_back(j);
        d.lists.count[j + 1] = count;
        record_deep(d, j, count, level);
      }
      if (at_top || d.kept.empty()) return;
      if (level + 1 < top_k) count_found(part, level - width - 1, d.kept.size());
      if (d.kept.size() < 2) return;
      if (!listed_all) list_kept(tids, d.kept, d.lists);
      const std::uint64_t* kept_flags = flag_members(flags != nullptr, d.kept, d.kept_flags);
      for (std::size_t y = 0; y + 1 < d.kept.size(); ++y) {
        const std::uint32_t j = d.kept[y];
        d.itemset.back() = siblings[j];
        self(self, d.kept, y, d.itemset, d.lists.of(j), d.lists.count.data() + 1, kept_flags);
      }
    };
    // extend_member for a group held as bitsets over its rows: member x's set is `own_bits`,
    // and the set of each later member j is `member_sets.of(j)`. Each extension is counted
    // by one AND; below level top_k the AND is kept as the extension's set.
    auto extend_bits = [&](auto& self, std::span<const std::uint32_t> members, std::size_t x,
                           std::span<const std::uint32_t> extended, const std::uint64_t* own_bits,
                           const BitSets& member_sets, std::size_t words) -> void {
      DeepGroup* opened = open_deep(members, x, extended);
      if (opened == nullptr) return;
      DeepGroup& d = *opened;
      const std::uint32_t own = siblings[members[x]];
      const std::size_t level = extended.size() + 1;
      const bool at_top = level == top_k;
      if (!at_top) d.sets.fit(d.chosen.size(), words, siblings.size());
      for (std::size_t c = 0; c < d.chosen.size(); ++c) {
        const std::uint32_t j = d.chosen[c];
        const std::uint64_t* with = member_sets.of(j, words);
        const std::uint32_t count =
            at_top ? and_count(own_bits, with, words)
                   : and_into(own_bits, with, d.sets.bits.data() + c * words, words);
        if (!keeps(own, j, count)) continue;
        d.kept.push_back(j);
        if (!at_top) d.sets.slot[j] = static_cast<std::uint32_t>(c);
        record_deep(d, j, count, level);
      }
      if (at_top || d.kept.empty()) return;
      if (level + 1 < top_k) count_found(part, level - width - 1, d.kept.size());
      for (std::size_t y = 0; y + 1 < d.kept.size(); ++y) {
        const std::uint32_t j = d.kept[y];
        d.itemset.back() = siblings[j];
        self(self, d.kept, y, d.itemset, d.sets.of(j, words), d.sets, words);
      }
    };
    // Records an anchor's kept extension by sibling j where this level's rows are kept.
    auto record_anchor = [&](std::span<const std::uint32_t> anchor, std::uint32_t j,
                             std::uint32_t count) {
      if (!level_rows_kept) return;
      part.items.insert(part.items.end(), anchor.begin(), anchor.end());
      part.items.push_back(siblings[j]);
      part.counts.push_back(count);
    };
    // Calls visit(i, row, anchor) for each anchor i from..to of the group starting at `first`
    // that reaches the min count and has chosen siblings (in `chosen`).
    auto for_each_anchor = [&](std::uint32_t first, std::size_t from, std::size_t to,
                               auto&& visit) {
      for (std::size_t i = from; i < to && i + 1 < siblings.size(); ++i) {
        const std::uint32_t row = groups.rows[first + i];
        if (anchors.count(row) < in.min_count) continue;
        choose_for_anchor(i, chosen);
        if (!chosen.empty()) visit(i, row, anchors.row(row));
      }
    };
    // The anchors from..to of the group starting at `first`, counted from its bitsets as the
    // walk below counts them, and extended depth first by extend_bits.
    WorkerBits& held_bits = worker_bits.local();
    std::optional<GroupBitsets>& group_bits = held_bits.bits;
    BitSets anchor_sets;
    auto count_anchors_by_bits = [&](std::uint32_t first, std::size_t from, std::size_t to) {
      const std::size_t words = group_bits->words();
      for_each_anchor(first, from, to, [&](std::size_t i, std::uint32_t, auto anchor) {
        const std::uint64_t* own = group_bits->of(i);
        if (in.keep_sets) anchor_sets.fit(chosen.size(), words, siblings.size());
        kept.clear();
        for (std::size_t c = 0; c < chosen.size(); ++c) {
          const std::uint32_t j = chosen[c];
          const std::uint64_t* with = group_bits->of(j);
          const std::uint32_t count =
              in.keep_sets ? and_into(own, with, anchor_sets.bits.data() + c * words, words)
                           : and_count(own, with, words);
          if (!keeps(siblings[i], j, count)) continue;
          kept.push_back(j);
          if (in.keep_sets) anchor_sets.slot[j] = static_cast<std::uint32_t>(c);
          record_anchor(anchor, j, count);
        }
        if (!level_rows_kept && !kept.empty()) count_found(part, 0, kept.size());
        if (!in.keep_sets) return;
        for (std::size_t x = 0; x + 1 < kept.size(); ++x) {
          extended.assign(anchor.begin(), anchor.end());
          extended.push_back(siblings[kept[x]]);
          extend_bits(extend_bits, kept, x, extended, anchor_sets.of(kept[x], words), anchor_sets,
                      words);
        }
      });
    };
    // The range is one of anchors in sorted order: a large group may be split between
    // ranges, each of which prepares the group for its own anchors.
    auto g = static_cast<std::size_t>(
        std::upper_bound(groups.starts.begin(), groups.starts.end(), range.begin) -
        groups.starts.begin() - 1);
    for (; g < groups.size() && groups.starts[g] < range.end; ++g) {
      throw_if_cancelled();
      const std::uint32_t first = groups.starts[g], end = groups.starts[g + 1];
      if (end - first < 2) continue;
      const std::size_t from = std::max<std::size_t>(range.begin, first) - first;
      const std::size_t to = std::min<std::size_t>(range.end, end) - first;
      siblings.clear();
      sibling_counts.clear();
      for (std::uint32_t r = first; r < end; ++r) {
        siblings.push_back(anchors.row(groups.rows[r])[width - 1]);
        sibling_counts.push_back(anchors.count(groups.rows[r]));
      }
      const auto prefix = anchors.row(groups.rows[first]).first(width - 1);
      if (choice == SiblingChoice::kNeighborGate) {
        intersect_neighbors(*in.neighbors, prefix, group_gate, spare);
        in_group_gate.assign(siblings.size(), 0);
        auto g = group_gate.begin();
        for (std::size_t j = 0; j < siblings.size() && g != group_gate.end(); ++j) {
          g = std::lower_bound(g, group_gate.end(), siblings[j]);
          in_group_gate[j] = g != group_gate.end() && *g == siblings[j];
        }
      }
      // A group of pairs whose sets no later level reads may be held as bitsets instead.
      if constexpr (std::is_same_v<MemoType, PairMemo>) {
        if ((top != nullptr || !in.keep_sets) &&
            GroupBitsets::pay_off(static_cast<std::uint32_t>(in.index.txns_of(prefix[0]).size()),
                                  sibling_counts, from)) {
          if (!group_bits) group_bits.emplace(in.index.item_space);
          if (held_bits.group != g) {
            group_bits->build(in.index, reduced, prefix[0], siblings);
            held_bits.group = g;
          }
          count_anchors_by_bits(first, from, to);
          continue;
        }
      }
      reader.begin_group(reduced, prefix, siblings, sibling_counts);
      cells.assign(siblings.size() + 1, 0);
      slots.resize(siblings.size() + 1);
      // A wide group is marked as a whole where the counter has neighbor lists to choose by,
      // or counts every sibling above an anchor. Only the latter walks count what they meet
      // (count_met): the other counters' walks read their chosen siblings alone, far fewer
      // than a wide group's.
      group_marked = siblings.size() - from > tuning::kWideSiblingGroup &&
                     (choice == SiblingChoice::kCountThenCheck || in.neighbors != nullptr);
      const bool wide = group_marked && choice == SiblingChoice::kCountThenCheck;
      if (group_marked)
        for (std::size_t j = 0; j < siblings.size(); ++j)
          group_position[siblings[j]] = static_cast<std::uint32_t>(j + 1);
      if (wide) hit_slots.assign(siblings.size() / 64 + 1, 0);  // only count_met sets bits
      // Prefix + {sibling} is counted exactly here (no cap): it bounds the sibling's list.
      const std::uint32_t* pair_counts = sibling_counts.data();
      // Each anchor's extensions, once `chosen` holds what the counter counts and `tids` its
      // set: walked and read as in the general step.
      auto extend_anchor = [&](std::size_t i, auto anchor, std::span<const std::uint32_t> tids,
                               bool counted) {
        const bool listed_all = !counted && walk_chosen(tids, chosen, pair_counts, true, listed);
        kept.clear();
        for (std::uint32_t j : chosen) {
          const std::uint32_t count = take_count(j, listed_all, listed);
          if (!keeps(siblings[i], j, count)) continue;
          kept.push_back(j);
          listed.count[j + 1] = count;
          record_anchor(anchor, j, count);
        }
        if (!level_rows_kept && !kept.empty()) count_found(part, 0, kept.size());
        // A level nothing extends keeps no sets at all (its memo holds counts only).
        if (!in.keep_sets || kept.empty()) return;
        // The kept extensions make one group of siblings at the next level, where every
        // member but the last is walked: the last keeps no set (nor does a lone one).
        if (!listed_all && kept.size() > 1) list_kept(tids, kept, listed);
        const std::uint64_t* flags =
            top != nullptr ? flag_members(wide, kept, anchor_kept_flags) : nullptr;
        for (std::size_t x = 0; x + 1 < kept.size(); ++x) {
          const std::span<const std::uint32_t> list = listed.of(kept[x]);
          if (top != nullptr) {
            extended.assign(anchor.begin(), anchor.end());
            extended.push_back(siblings[kept[x]]);
            extend_member(extend_member, kept, x, extended, list, pair_counts, flags);
          } else {
            Sets::add(part.sets, reader.transactions(list, txns));
          }
        }
        if (top == nullptr) Sets::add_none(part.sets);
      };
      for (std::size_t i = from; i < to && i + 1 < siblings.size(); ++i) {
        const std::uint32_t row = groups.rows[first + i];
        const std::uint32_t count = anchors.count(row);
        if (count < in.min_count) continue;
        if (wide && far_more_later(siblings.size() - i - 1, count)) {
          const auto tids = Sets::walk_row(memo, reader, row, i, buffer);
          listed.fit(siblings.size() + 1);
          count_met(i, tids, nullptr, chosen);
          if (chosen.empty()) continue;
          extend_anchor(i, anchors.row(row), tids, true);
          continue;
        }
        choose_for_anchor(i, chosen);
        if (chosen.empty()) continue;
        extend_anchor(i, anchors.row(row), Sets::walk_row(memo, reader, row, i, buffer), false);
      }
      if (group_marked)
        for (const std::uint32_t item : siblings) group_position[item] = 0;
      group_marked = false;
    }
  };
  // A range prepares each group it counts by reading the prefix's transactions (its bitsets
  // or its projection): for a group of pairs, the prefix item's whole list in the index,
  // however few of those transactions its anchors keep.
  const double row_length = in.index.n_transactions == 0
                                ? 0.0
                                : static_cast<double>(in.index.txn_items.size()) /
                                      static_cast<double>(in.index.n_transactions);
  auto group_setup = [&](std::size_t g) {
    if (width != 2 || groups.starts[g + 1] - groups.starts[g] < 2) return 0.0;  // lone: skipped
    const std::uint32_t prefix = anchors.row(groups.rows[groups.starts[g]])[0];
    return static_cast<double>(in.index.txns_of(prefix).size()) * row_length;
  };
  std::vector<Part> parts =
      count_anchors_in_parts<Part>(groups, anchors, count_range, top_k > width + 2, group_setup);
  if (top != nullptr) {
    // The first empty level below the top two ends the pipeline there; a level no part
    // reached is empty.
    for (std::size_t level = width + 1; level + 1 < top_k; ++level) {
      std::size_t rows = 0;
      for (const Part& part : parts)
        if (level - width - 1 < part.found.size()) rows += part.found[level - width - 1];
      if (rows == 0) {
        top->lower = ItemsetTable::from_distinct_rows(level, {}, {});
        top->top = ItemsetTable::from_distinct_rows(level + 1, {}, {});
        std::vector<typename Sets::Part> none;
        return Sets::level(memo, ItemsetTable::from_distinct_rows(width + 1, {}, {}), none);
      }
    }
  }
  std::size_t total = 0, top_total = 0;
  for (const Part& part : parts) {
    total += part.counts.size();
    top_total += part.top_counts.size();
  }
  std::vector<std::uint32_t> items, counts, top_items, top_counts;
  const std::size_t items_width = top != nullptr ? top_k - 1 : width + 1;
  items.reserve(total * items_width);
  counts.reserve(total);
  top_items.reserve(top_total * top_k);
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
    top->lower = ItemsetTable::from_distinct_rows(top_k - 1, std::move(items), std::move(counts));
    top->top = ItemsetTable::from_distinct_rows(top_k, std::move(top_items),
                                                std::move(top_counts));
    sets.clear();
    return Sets::level(memo, ItemsetTable::from_distinct_rows(width + 1, {}, {}), sets);
  }
  return Sets::level(
      memo, ItemsetTable::from_distinct_rows(width + 1, std::move(items), std::move(counts)),
      sets);
}

// Every level from the memo's up to `top_k` (at least two above the memo's) depth first,
// counts only: the two top levels of a pipeline, or the first empty level as `lower`.
template <class MemoType>
TopTables count_top_levels_by_siblings(const MemoLevelInput& in, const MemoType& memo,
                                       SiblingChoice choice, std::size_t top_k) {
  TopTables tables{ItemsetTable(top_k - 1), ItemsetTable(top_k)};
  count_memo_level_by_siblings(in, memo, choice, &tables, top_k);
  return tables;
}

}  // namespace tallyfold
