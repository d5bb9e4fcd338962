#include "itemsets/count_k_itemsets.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

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

// Ascending a ∩ b into out; the shorter list gallops through the much longer one.
void intersect_sorted(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                      std::vector<std::uint32_t>& out) {
  out.clear();
  if (a.size() > b.size()) std::swap(a, b);
  if (a.size() * tuning::kGallopLengthRatio < b.size()) {
    auto from = b.begin();
    for (std::uint32_t t : a) {
      from = std::lower_bound(from, b.end(), t);
      if (from == b.end()) return;
      if (*from == t) out.push_back(t);
    }
    return;
  }
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
}

// With prefix anchors the frequent set is complete, so an anchor's transactions are those of
// its prefix (the anchor built just before, in sorted order, usually shares it) intersected
// with those of its last item: one intersection per anchor instead of matching every
// transaction's subsets against the whole frequent set. The walk then runs as usual.
ItemsetTable walk_prefix_anchors(const LevelInput& in, const ReducedTransactions& reduced) {
  const std::vector<std::uint32_t> rows = in.frequent.sorted_rows();
  const std::size_t width = in.frequent.width();
  return extend_anchors(
      rows.size(), in.index.item_space, in.k,
      [&](std::size_t a) { return in.frequent.count(rows[a]); },
      [&](IndexRange range, Scratch& scratch) {
        std::vector<std::vector<std::uint32_t>> stack(width);
        std::vector<std::uint32_t> previous;
        for (std::size_t a = range.begin; a < range.end; ++a) {
          throw_if_cancelled();
          auto anchor = in.frequent.row(rows[a]);
          std::size_t depth = 0;
          while (depth < previous.size() && previous[depth] == anchor[depth]) ++depth;
          for (depth = std::max<std::size_t>(depth, 1); depth < width; ++depth) {
            const auto prefix = depth == 1 ? in.index.txns_of(anchor[0])
                                           : std::span<const std::uint32_t>(stack[depth - 1]);
            intersect_sorted(prefix, in.index.txns_of(anchor[depth]), stack[depth]);
          }
          previous.assign(anchor.begin(), anchor.end());
          const auto tids = width == 1 ? in.index.txns_of(anchor[0])
                                       : std::span<const std::uint32_t>(stack[width - 1]);
          extend_one_anchor(in, anchor, tids, reduced, scratch);
        }
      });
}

// Whether anchor transactions found by intersections are estimated cheaper than by matching
// transactions against the frequent set. The matching walks, for every item of every
// transaction, the members that start with it; an intersection merges (or gallops) the
// anchor's prefix list with its last item's. A deeper prefix's list is not known before it
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
    const double shorter = std::min(prefix, last), longer = std::max(prefix, last);
    intersecting += shorter * tuning::kGallopLengthRatio < longer
                        ? shorter * tuning::kGallopProbeCost * std::log2(longer / std::max(shorter, 1.0) + 1)
                        : prefix + last;
  }
  return intersecting < matching * tuning::kMatchStepCost;
}

}  // namespace

ItemsetTable count_k_itemsets_internal(const LevelInput& in) {
  // Dense data: the same anchors and extensions, counted by intersecting transaction bitsets.
  if (auto level = count_level_on_bitsets(in)) return std::move(*level);
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
