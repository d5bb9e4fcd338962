#include "itemsets/count_k_itemsets.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "common/bitset_kernels.hpp"
#include "itemsets/anchor_extend.hpp"
#include "itemsets/anchor_tids.hpp"
#include "itemsets/bitset_prefix_lists.hpp"
#include "itemsets/extension_owner.hpp"
#include "itemsets/level_on_bitsets.hpp"
#include "itemsets/prefix_lists.hpp"
#include "itemsets/sibling_groups.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

void extend_one_anchor(const LevelInput& in, std::span<const std::uint32_t> anchor,
                       std::span<const std::uint32_t> tids, const ReducedTransactions& reduced,
                       const ExtensionOwnership* ownership, Scratch& scratch) {
  if (tids.empty()) return;
  if (in.prefix_anchors_only) {
    // Extended by items above the anchor's last only: no candidate is met twice and none
    // needs the pair check (see LevelInput).
    if (tids.size() < in.report_min) return;
    const std::uint32_t last = anchor.back();
    reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
      for (auto it = std::upper_bound(items.begin(), items.end(), last); it != items.end(); ++it)
        scratch.counter.add(*it);
    });
    scratch.counter.drain([&](std::uint32_t item, std::uint32_t count) {
      if (count < in.report_min) return;
      form_candidate(anchor, item, scratch.candidate);
      scratch.keep(scratch.candidate, count);
    });
    return;
  }
  if (ownership->masks) {
    // The masks hold the pair check and the owner test for every item at once, so only the
    // items the anchor owns are counted: each item met adds its gate flag to its tally, with
    // no branch on the item, and the owned items' tallies are read off after.
    if (!scratch.masked) {
      scratch.masked.emplace(*ownership->masks, anchor.size());
      scratch.gate.assign(scratch.counter.size(), 0);
      scratch.tally.assign(scratch.counter.size(), 0);
    }
    ExtensionMasks::Anchor& owned = *scratch.masked;
    owned.load(anchor);
    std::uint8_t* gate = scratch.gate.data();
    std::uint32_t* tally = scratch.tally.data();
    owned.each_owned([&](std::uint32_t item) { gate[item] = 1; });
    reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
      for (std::uint32_t item : items) tally[item] += gate[item];
    });
    owned.each_owned([&](std::uint32_t item) {
      gate[item] = 0;
      const std::uint32_t count = std::exchange(tally[item], 0);
      if (count == 0 || count < in.report_min) return;
      form_candidate(anchor, item, scratch.candidate);
      scratch.keep(scratch.candidate, count);
    });
    return;
  }
  // Every co-occurring item is counted first; the pair check runs after counting, on the
  // few distinct items that come out of it, and before the owner test, which it makes
  // cheaper.
  reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
    for (std::uint32_t item : items) scratch.counter.add(item);
  });
  const bool check_pairs = !in.pairs.empty() && !anchor.empty();
  scratch.counter.drain([&](std::uint32_t item, std::uint32_t count) {
    if (count < in.report_min || anchor_holds(anchor, item)) return;
    if (check_pairs && !pairs_hold(anchor, item, in.pairs)) return;
    const std::size_t position = form_candidate(anchor, item, scratch.candidate);
    if (!ownership->owners->keeps(scratch.candidate, position, scratch.rest)) return;
    scratch.keep(scratch.candidate, count);
  });
}

std::vector<std::uint32_t> rows_that_can_occur(const LevelInput& in) {
  const ItemsetTable& frequent = in.frequent;
  std::vector<std::uint32_t> rows;
  for (std::uint32_t r : frequent.sorted_rows()) {
    const auto row = frequent.row(r);
    bool occurs = row.empty() || row.back() < in.index.item_space;
    for (std::size_t i = 1; i < row.size() && occurs; ++i) occurs = row[i - 1] < row[i];
    if (occurs) rows.push_back(r);
  }
  return rows;
}

std::vector<std::uint32_t> flagged_items(const std::vector<std::uint8_t>& flags) {
  std::vector<std::uint32_t> items;
  for (std::uint32_t item = 0; item < flags.size(); ++item)
    if (flags[item]) items.push_back(item);
  return items;
}

namespace {

void process_anchors(const LevelInput& in, const AnchorTids& anchors,
                     const ReducedTransactions& reduced, const ExtensionOwnership* ownership,
                     IndexRange range, Scratch& scratch) {
  for (std::size_t a = range.begin; a < range.end; ++a) {
    throw_if_cancelled();
    extend_one_anchor(in, anchors.anchor(a), anchors.tids_of(a), reduced, ownership, scratch);
  }
}

// Without a cap an anchor's transactions are those that hold all its items, so they come
// from intersecting the items' lists along the anchors in lexicographic order (PrefixLists):
// no list of every anchor's transactions is held at once, only one list per anchor item and
// worker. A transaction with too few of the level's items is in such a list but has no
// reduced items, so it counts nothing, as it would not have been listed. A row that is not
// strictly ascending, or holds an item no transaction has, matches no transaction.
template <class MakeSource>
ItemsetTable extend_anchors_by_item_lists(const LevelInput& in,
                                          const ReducedTransactions& reduced,
                                          const std::vector<std::uint32_t>& rows,
                                          const ExtensionOwnership* ownership,
                                          MakeSource make_source) {
  const ItemsetTable& frequent = in.frequent;
  // An anchor's transactions are at most its rarest item's.
  auto cost = [&](std::size_t a) {
    std::uint64_t least = in.index.n_transactions;
    for (std::uint32_t item : frequent.row(rows[a]))
      least = std::min<std::uint64_t>(least, in.index.item_count(item));
    return least;
  };
  return extend_anchors(rows.size(), in.index.item_space, in.k, cost,
                        [&](IndexRange range, Scratch& scratch) {
    auto lists = make_source();
    for (std::size_t a = range.begin; a < range.end; ++a) {
      throw_if_cancelled();
      const auto anchor = frequent.row(rows[a]);
      extend_one_anchor(in, anchor, lists.build(anchor), reduced, ownership, scratch);
    }
  });
}

}  // namespace

ItemsetTable count_k_itemsets_internal(const LevelInput& in) {
  // Dense data: the same anchors and extensions, counted by intersecting transaction bitsets.
  if (auto level = count_level_on_bitsets(in)) return std::move(*level);
  if (auto level = count_every_extension_on_bitsets(in)) return std::move(*level);
  const auto flags = frequent_item_flags(in.frequent, in.index.item_space);
  // The sibling counters skip items that are no chosen sibling, so with prefix anchors the
  // transactions may stay whole; the other counters count every item a row holds.
  const bool by_siblings = in.prefix_anchors_only && in.frequent.width() >= 2;
  ReducedTransactions reduced = reduce_transactions(
      in.index, flags, in.k, in.item_weights, in.max_items_per_txn, by_siblings);
  // With prefix anchors the frequent set is complete: siblings are counted together over
  // their prefix's transactions, found by intersecting the prefix's items' lists instead of
  // matching every transaction's subsets against the whole frequent set.
  // With few transactions, a common item's list is longer than the bitset words an AND
  // reads: the anchors' transactions then come from bitsets.
  std::optional<ItemBitsets> bitsets =
      in.max_items_per_txn
          ? std::nullopt
          : ItemBitsets::build(in.index, flags, in.k, in.index.txn_items.size() * sizeof(std::uint32_t));
  // Calls count(make_source) with a maker of each worker's source of anchors' transactions.
  const auto with_prefix_source = [&](auto&& count) {
    if (bitsets)
      return count([&] { return BitsetPrefixLists(in.index, *bitsets, in.frequent.width()); });
    return count([&] { return PrefixLists(in.index, in.frequent.width()); });
  };
  if (by_siblings) {
    std::vector<LevelPart> parts = with_prefix_source(
        [&](auto make_source) { return count_by_sibling_groups(in, reduced, make_source); });
    // The level's rows are copied out of their parts: the sources go first.
    bitsets.reset();
    reduced = ReducedTransactions{};
    return join_level_parts(in.frequent.width() + 1, parts);
  }
  // Anchors other than prefix anchors meet extensions that other anchors meet too: masks
  // over the level's items, while they take no more than one direction of the index, tell
  // which each anchor owns.
  const std::vector<std::uint32_t> rows = rows_that_can_occur(in);
  const ExtensionOwnership ownership = extension_ownership(
      in, rows, flagged_items(flags), in.index.txn_items.size() * sizeof(std::uint32_t));
  if (!in.max_items_per_txn && in.frequent.width() >= 1)
    return with_prefix_source([&](auto make_source) {
      return extend_anchors_by_item_lists(in, reduced, rows, &ownership, make_source);
    });
  const AnchorTids anchors = collect_anchor_tids(in.frequent, reduced);
  return extend_anchors(
      anchors.size(), in.index.item_space, in.k,
      [&](std::size_t a) { return anchors.offsets[a + 1] - anchors.offsets[a]; },
      [&](IndexRange range, Scratch& scratch) {
        process_anchors(in, anchors, reduced, &ownership, range, scratch);
      });
}

}  // namespace tallyfold
