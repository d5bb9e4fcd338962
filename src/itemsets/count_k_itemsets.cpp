#include "itemsets/count_k_itemsets.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "common/bitset_kernels.hpp"
#include "itemsets/anchor_extend.hpp"
#include "itemsets/anchor_tids.hpp"
#include "itemsets/level_on_bitsets.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

void extend_one_anchor(const LevelInput& in, std::span<const std::uint32_t> anchor,
                       std::span<const std::uint32_t> tids, const ReducedTransactions& reduced,
                       Scratch& scratch) {
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
      scratch.found.insert(scratch.candidate, count);
    });
    return;
  }
  // Every co-occurring item is counted first; the pair check runs after counting, on the
  // few distinct items that come out of it.
  const bool check_pairs = !in.pairs.empty() && !anchor.empty();
  reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
    for (std::uint32_t item : items) scratch.counter.add(item);
  });
  scratch.counter.drain([&](std::uint32_t item, std::uint32_t count) {
    if (count < in.report_min || anchor_holds(anchor, item)) return;
    form_candidate(anchor, item, scratch.candidate);
    if (scratch.found.contains(scratch.candidate)) return;
    if (check_pairs && !pairs_hold(anchor, item, in.pairs)) return;
    scratch.found.insert(scratch.candidate, count);
  });
}

namespace {

void process_anchors(const LevelInput& in, const AnchorTids& anchors,
                     const ReducedTransactions& reduced, IndexRange range, Scratch& scratch) {
  for (std::size_t a = range.begin; a < range.end; ++a) {
    throw_if_cancelled();
    extend_one_anchor(in, anchors.anchor(a), anchors.tids_of(a), reduced, scratch);
  }
}

// An anchor's transactions, built along the sorted anchors: list j holds the transactions of
// the anchor's first j + 1 items, and consecutive anchors share a prefix, so each list is
// built once per distinct prefix. A list that the next item's is merged with is first marked
// in a bitset of one bit per transaction (once, however many anchors extend it); the item's
// transactions are then kept by one branch-free bit test each instead of a merge of both
// lists. A list much shorter than the item's gallops through it instead.
class PrefixLists {
 public:
  PrefixLists(const InvertedIndex& index, std::size_t width)
      : index_(index), lists_(width), marks_(width), marked_(width, 0) {}

  std::span<const std::uint32_t> build(std::span<const std::uint32_t> anchor) {
    const std::size_t width = anchor.size();
    std::size_t depth = 0;
    while (depth < previous_.size() && previous_[depth] == anchor[depth]) ++depth;
    for (std::size_t j = depth; j < width; ++j) {
      unmark(j);  // list j is about to change
      if (j == 0)
        first_ = index_.txns_of(anchor[0]);
      else
        intersect(j - 1, index_.txns_of(anchor[j]), lists_[j]);
    }
    previous_.assign(anchor.begin(), anchor.end());
    return list(width - 1);
  }

 private:
  std::span<const std::uint32_t> list(std::size_t j) const {
    return j == 0 ? first_ : std::span<const std::uint32_t>(lists_[j]);
  }

  void unmark(std::size_t j) {
    if (!marked_[j]) return;
    for (std::uint32_t t : list(j)) marks_[j][t >> 6] = 0;
    marked_[j] = 0;
  }

  // list(j) ∩ item into out, ascending.
  void intersect(std::size_t j, std::span<const std::uint32_t> item,
                 std::vector<std::uint32_t>& out) {
    const auto prefix = list(j);
    out.clear();
    if (prefix.size() * tuning::kGallopLengthRatio < item.size()) {
      auto from = item.begin();
      for (std::uint32_t t : prefix) {
        from = std::lower_bound(from, item.end(), t);
        if (from == item.end()) return;
        if (*from == t) out.push_back(t);
      }
      return;
    }
    std::vector<std::uint64_t>& marks = marks_[j];
    if (!marked_[j]) {
      if (marks.empty()) marks.assign(bitset_words(index_.n_transactions), 0);
      for (std::uint32_t t : prefix) marks[t >> 6] |= std::uint64_t{1} << (t & 63);
      marked_[j] = 1;
    }
    out.resize(item.size());
    std::size_t kept = 0;
    for (std::uint32_t t : item) {
      out[kept] = t;
      kept += (marks[t >> 6] >> (t & 63)) & 1u;
    }
    out.resize(kept);
  }

  const InvertedIndex& index_;
  std::span<const std::uint32_t> first_;
  std::vector<std::vector<std::uint32_t>> lists_;  // by depth; lists_[0] unused (first_)
  std::vector<std::vector<std::uint64_t>> marks_;  // by depth of the list they mark
  std::vector<std::uint8_t> marked_;
  std::vector<std::uint32_t> previous_;
};

// With prefix anchors the frequent set is complete, so an anchor's transactions are those of
// its prefix intersected with those of its last item: one intersection per anchor (see
// PrefixLists) instead of matching every transaction's subsets against the whole frequent
// set. The walk then runs as usual.
ItemsetTable walk_prefix_anchors(const LevelInput& in, const ReducedTransactions& reduced) {
  const std::vector<std::uint32_t> rows = in.frequent.sorted_rows();
  const std::size_t width = in.frequent.width();
  return extend_anchors(
      rows.size(), in.index.item_space, in.k,
      [&](std::size_t a) { return in.frequent.count(rows[a]); },
      [&](IndexRange range, Scratch& scratch) {
        PrefixLists lists(in.index, width);
        for (std::size_t a = range.begin; a < range.end; ++a) {
          throw_if_cancelled();
          auto anchor = in.frequent.row(rows[a]);
          extend_one_anchor(in, anchor, lists.build(anchor), reduced, scratch);
        }
      });
}

// Whether anchor transactions found by intersections are estimated cheaper than by matching
// transactions against the frequent set. The matching walks, for every item of every
// transaction, the members that start with it; an intersection merges (or gallops) the
// anchor's prefix list with its last item's (see PrefixLists). A deeper prefix's list is not known before it
// is built: twice the anchor's count stands in for it.
bool intersections_pay_off(const LevelInput& in) {
  const InvertedIndex& index = in.index;
  const std::size_t width = in.frequent.width();
  std::vector<std::uint32_t> starting(index.item_space, 0);
  for (std::size_t r = 0; r < in.frequent.size(); ++r) {
    const std::uint32_t first = in.frequent.row(r)[0];
    if (first < index.item_space) ++starting[first];
  }
  double matching = 0, intersecting = 0;
  for (std::uint32_t item = 0; item < index.item_space; ++item)
    matching += static_cast<double>(starting[item]) * index.item_counts[item];
  for (std::size_t r = 0; r < in.frequent.size(); ++r) {
    auto anchor = in.frequent.row(r);
    if (width == 1) continue;  // the anchor's list is its item's, no intersection
    const double prefix = width == 2 ? index.item_count(anchor[0]) : 2.0 * in.frequent.count(r);
    const double last = index.item_count(anchor.back());
    intersecting += prefix * tuning::kGallopLengthRatio < last
                        ? prefix * tuning::kGallopProbeCost * std::log2(last / std::max(prefix, 1.0) + 1)
                        : last * tuning::kMarkedFilterStepCost;
  }
  return intersecting < matching * tuning::kMatchStepCost;
}

}  // namespace

ItemsetTable count_k_itemsets_internal(const LevelInput& in) {
  // Dense data: the same anchors and extensions, counted by intersecting transaction bitsets.
  if (auto level = count_level_on_bitsets(in)) return std::move(*level);
  if (auto level = count_every_extension_on_bitsets(in)) return std::move(*level);
  const auto flags = frequent_item_flags(in.frequent, in.index.item_space);
  const ReducedTransactions reduced =
      reduce_transactions(in.index, flags, in.k, in.item_weights, in.max_items_per_txn);
  if (in.prefix_anchors_only && in.frequent.width() > 0 && intersections_pay_off(in))
    return walk_prefix_anchors(in, reduced);
  const AnchorTids anchors = collect_anchor_tids(in.frequent, reduced);
  return extend_anchors(
      anchors.size(), in.index.item_space, in.k,
      [&](std::size_t a) { return anchors.offsets[a + 1] - anchors.offsets[a]; },
      [&](IndexRange range, Scratch& scratch) {
        process_anchors(in, anchors, reduced, range, scratch);
      });
}

}  // namespace tallyfold
