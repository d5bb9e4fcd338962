#include "itemsets/level_on_bitsets.hpp"

#include <algorithm>
#include <functional>
#include <vector>

#include "common/bitset_kernels.hpp"
#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/roaring.hpp"
#include "common/row_order.hpp"
#include "common/tuning.hpp"
#include "itemsets/anchor_extend.hpp"
#include "itemsets/extension_owner.hpp"
#include "itemsets/level_parts.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

namespace {

// The items of the frequent set, each with the items above it that form a frequent pair with
// it: an extension x of an anchor ending in y is a partner of y, since every pair of a
// reported itemset is frequent.
struct Partners {
  std::vector<std::uint32_t> offsets;  // by item id, item_space + 1 entries
  std::vector<std::uint32_t> items;    // ascending within each item
};

Partners partners_above(const std::vector<std::uint32_t>& items, std::uint32_t item_space,
                        const PairSet& pairs) {
  Partners p;
  p.offsets.assign(static_cast<std::size_t>(item_space) + 1, 0);
  std::vector<std::uint32_t> count(item_space, 0);
  for (std::size_t i = 0; i < items.size(); ++i)
    for (std::size_t j = i + 1; j < items.size(); ++j)
      if (pairs.contains(items[i], items[j])) ++count[items[i]];
  for (std::uint32_t item = 0; item < item_space; ++item)
    p.offsets[item + 1] = p.offsets[item] + count[item];
  p.items.resize(p.offsets[item_space]);
  std::vector<std::uint32_t> cursor(p.offsets.begin(), p.offsets.end() - 1);
  for (std::size_t i = 0; i < items.size(); ++i)
    for (std::size_t j = i + 1; j < items.size(); ++j)
      if (pairs.contains(items[i], items[j])) p.items[cursor[items[i]]++] = items[j];
  return p;
}

// Fixed-width transaction bitsets: an anchor's set is a stack entry, an extension's count
// an AND-popcount that stops once the min count is out of reach.
class BitsetSets {
 public:
  BitsetSets(const InvertedIndex& index, const std::vector<std::uint32_t>& items)
      : words_(bitset_words(index.n_transactions)), slot_(index.item_space, 0),
        bits_(items.size() * words_, 0) {
    for (std::size_t s = 0; s < items.size(); ++s) {
      slot_[items[s]] = static_cast<std::uint32_t>(s);
      set_bits(index.txns_of(items[s]), bits_.data() + s * words_);
    }
  }

  // One worker's stack of prefix intersections.
  class Stack {
   public:
    Stack(const BitsetSets& sets, std::size_t width)
        : sets_(sets), words_(sets.words_), stack_(width * words_), scratch_(words_) {}
    void set_first(std::uint32_t item) { std::copy_n(sets_.of(item), words_, stack_.data()); }
    void extend(std::size_t depth, std::uint32_t item) {
      and_into(at(depth - 1), sets_.of(item), at(depth), words_);
    }
    void anchor_ready(std::size_t depth) {
      anchor_ = at(depth);
      block_suffix_counts(anchor_, words_, suffix_);
    }
    std::uint32_t count_with(std::uint32_t item, std::uint32_t need) {
      return and_into_at_least(anchor_, sets_.of(item), scratch_.data(), words_, need, suffix_);
    }
    std::uint32_t anchor_count() const { return suffix_[0]; }

   private:
    std::uint64_t* at(std::size_t depth) { return stack_.data() + depth * words_; }
    const BitsetSets& sets_;
    std::size_t words_;
    std::vector<std::uint64_t> stack_, scratch_;
    std::vector<std::uint32_t> suffix_;
    const std::uint64_t* anchor_ = nullptr;
  };

 private:
  const std::uint64_t* of(std::uint32_t item) const { return bits_.data() + slot_[item] * words_; }
  std::size_t words_;
  std::vector<std::uint32_t> slot_;  // by item id; only items of the frequent set have one
  std::vector<std::uint64_t> bits_;  // slot-major
};

// Roaring bitmaps, for the Roaring counter: the same stack of prefix intersections, in
// compressed sets. With fewer than 65,536 transactions each Roaring set is one chunk, and a
// chunk of more than 4,096 values a 65,536-bit bitset whatever N is: intersecting one costs
// 1,024 words where N/64 hold the values. So the stack is kept for the anchor's prefix only
// (recomputed once per distinct prefix, and expanded then into a fixed-width bitset), and the
// anchor's own set is that bitset ANDed with its last item's; every extension of the anchor
// is counted by early-exit AND against the items' bitsets instead of array merges.
class RoaringSets {
 public:
  RoaringSets(const InvertedIndex& index, const std::vector<std::uint32_t>& items)
      : words_(bitset_words(index.n_transactions)), slot_(index.item_space, 0),
        sets_(items.size()), flat_(items.size() * words_, 0) {
    for (std::size_t s = 0; s < items.size(); ++s) {
      slot_[items[s]] = static_cast<std::uint32_t>(s);
      sets_[s] = Bitmap::of(index.txns_of(items[s]));
      set_bits(index.txns_of(items[s]), flat_.data() + s * words_);
    }
  }

  class Stack {
   public:
    Stack(const RoaringSets& sets, std::size_t width)
        : sets_(sets), width_(width), stack_(width), prefix_bits_(sets.words_),
          anchor_bits_(sets.words_), scratch_(sets.words_) {}
    void set_first(std::uint32_t item) {
      first_ = &sets_.of(item);
      note(0, item);
    }
    void extend(std::size_t depth, std::uint32_t item) {
      if (depth + 1 < width_) at(depth - 1).intersect_into(sets_.of(item), stack_[depth]);
      note(depth, item);
    }
    void anchor_ready(std::size_t depth) {
      if (depth == 0) {
        std::copy_n(sets_.flat_of(last_), sets_.words_, anchor_bits_.data());
      } else {
        if (prefix_changed_) {
          std::fill(prefix_bits_.begin(), prefix_bits_.end(), 0);
          at(depth - 1).or_into_bits(prefix_bits_.data(), sets_.words_);
          prefix_changed_ = false;
        }
        and_into(prefix_bits_.data(), sets_.flat_of(last_), anchor_bits_.data(), sets_.words_);
      }
      block_suffix_counts(anchor_bits_.data(), sets_.words_, suffix_);
    }
    std::uint32_t count_with(std::uint32_t item, std::uint32_t need) {
      return and_into_at_least(anchor_bits_.data(), sets_.flat_of(item), scratch_.data(),
                               sets_.words_, need, suffix_);
    }

   private:
    // Depth 0 is the first item's own bitmap, never copied.
    const Bitmap& at(std::size_t depth) const { return depth == 0 ? *first_ : stack_[depth]; }
    void note(std::size_t depth, std::uint32_t item) {
      if (depth + 1 < width_)
        prefix_changed_ = true;
      else
        last_ = item;
    }
    const RoaringSets& sets_;
    std::size_t width_;
    const Bitmap* first_ = nullptr;
    std::vector<Bitmap> stack_;  // depths 1 .. width - 2: the prefix's intersections
    std::uint32_t last_ = 0;
    bool prefix_changed_ = true;
    std::vector<std::uint64_t> prefix_bits_, anchor_bits_, scratch_;
    std::vector<std::uint32_t> suffix_;
  };

 private:
  const Bitmap& of(std::uint32_t item) const { return sets_[slot_[item]]; }
  const std::uint64_t* flat_of(std::uint32_t item) const {
    return flat_.data() + slot_[item] * words_;
  }
  std::size_t words_;
  std::vector<std::uint32_t> slot_;
  std::vector<Bitmap> sets_;
  std::vector<std::uint64_t> flat_;  // the items' sets as fixed-width bitsets, slot-major
};

// Puts `anchor` (width items) on `stack`, recomputing only the depths below the prefix it
// shares with `previous`, the anchor loaded last; `previous` becomes `anchor`.
template <class Stack, class Row>
void load_anchor(Stack& stack, std::vector<std::uint32_t>& previous, const Row& anchor,
                 std::size_t width) {
  std::size_t depth = shared_prefix(previous, anchor);
  if (depth == 0) {
    stack.set_first(anchor[0]);
    depth = 1;
  }
  for (; depth < width; ++depth) stack.extend(depth, anchor[depth]);
  previous.assign(anchor.begin(), anchor.end());
  stack.anchor_ready(width - 1);
}

// Extends the anchors [range) of the sorted frequent set. The anchors' sets are built along
// the sorted order: consecutive anchors share a prefix, whose intersection stays on a stack of
// one set per depth, so an anchor costs about one intersection.
template <class Sets>
void extend_range(const LevelInput& in, const std::vector<std::uint32_t>& rows, const Sets& sets,
                  const Partners& partners, IndexRange range,
                  std::vector<std::uint32_t>& out_items, std::vector<std::uint32_t>& out_counts) {
  const std::size_t width = in.frequent.width();
  typename Sets::Stack stack(sets, width);
  std::vector<std::uint32_t> previous;
  for (std::size_t i = range.begin; i < range.end; ++i) {
    throw_if_cancelled();
    auto anchor = in.frequent.row(rows[i]);
    const std::uint32_t last = anchor.back();
    const std::uint32_t* begin = partners.items.data() + partners.offsets[last];
    const std::uint32_t* end = partners.items.data() + partners.offsets[last + 1];
    if (begin == end) continue;
    load_anchor(stack, previous, anchor, width);
    for (const std::uint32_t* x = begin; x != end; ++x) {
      // Pairs of the new item with the anchor's other items: a missing one rules it out
      // before any intersection.
      bool pairs_ok = true;
      for (std::size_t d = 0; d + 1 < width && pairs_ok; ++d) pairs_ok = in.pairs.contains(anchor[d], *x);
      if (!pairs_ok) continue;
      const std::uint32_t count = stack.count_with(*x, in.report_min);
      if (count < in.report_min) continue;
      out_items.insert(out_items.end(), anchor.begin(), anchor.end());
      out_items.push_back(*x);
      out_counts.push_back(count);
    }
  }
}

using Part = LevelPart;

// The items of the frequent set, ascending, and how many of them a transaction holds on
// average (what a walk over the transactions reads per transaction).
struct LevelItems {
  std::vector<std::uint32_t> items;
  double avg_length = 0;
};

LevelItems items_of_level(const LevelInput& in) {
  const InvertedIndex& index = in.index;
  const auto flags = frequent_item_flags(in.frequent, index.item_space);
  LevelItems out;
  for (std::uint32_t item = 0; item < index.item_space; ++item)
    if (flags[item]) {
      out.items.push_back(item);
      out.avg_length += index.item_counts[item];
    }
  out.avg_length /= index.n_transactions;
  return out;
}

template <class Sets>
std::optional<ItemsetTable> count_level_by_sets(const LevelInput& in) {
  const InvertedIndex& index = in.index;
  const std::size_t width = in.frequent.width();
  if (!in.prefix_anchors_only || in.report_min == 0 || width == 0 || in.frequent.empty() ||
      index.n_transactions == 0 || index.n_transactions > tuning::kBitsetMaxTransactions)
    return std::nullopt;
  const LevelItems level = items_of_level(in);
  const std::vector<std::uint32_t>& items = level.items;
  const double avg_length = level.avg_length;
  const std::size_t words = bitset_words(index.n_transactions);
  // The item bitsets stay within the size of the index they are made from (its two CSR
  // directions hold every row once each).
  if (items.size() * words * sizeof(std::uint64_t) > 2 * index.txn_items.size() * sizeof(std::uint32_t))
    return std::nullopt;
  if (items.size() > tuning::kLevelBitsetMaxItems) return std::nullopt;

  const Partners partners = partners_above(items, index.item_space, in.pairs);
  // The walk reads, per anchor, each of its transactions' frequent items above the
  // anchor's last (after a search for the start); the bitsets intersect the anchor with each
  // partner of its last item. Both sides are estimated from counts known before either runs.
  double walk = 0, intersect = 0;
  for (std::size_t r = 0; r < in.frequent.size(); ++r) {
    const std::uint32_t last = in.frequent.row(r).back();
    walk += static_cast<double>(in.frequent.count(r)) * (avg_length / 2 + tuning::kWalkTransactionCost);
    intersect += static_cast<double>(partners.offsets[last + 1] - partners.offsets[last] + 1) *
                 static_cast<double>(words) * tuning::kLevelAndWordCost;
  }
  if (intersect >= walk) return std::nullopt;

  const Sets sets(index, items);
  const std::vector<std::uint32_t> rows = in.frequent.sorted_rows();
  const auto cost = [&](std::size_t i) {
    const std::uint32_t last = in.frequent.row(rows[i]).back();
    return partners.offsets[last + 1] - partners.offsets[last] + 1;
  };
  // An anchor ANDs `words` words for each partner.
  const bool share = worth_sharing(
      rows.size(), [&](std::size_t i) { return and_steps(static_cast<double>(cost(i)), words); });
  const std::vector<IndexRange> ranges =
      !share ? std::vector<IndexRange>{IndexRange{0, rows.size()}}
          : balanced_ranges(rows.size(), pool_threads() * tuning::kChunksPerThread, cost);
  // Anchors in sorted order extended by ascending larger items give the rows in
  // lexicographic order, each once: the parts simply join, in range order.
  std::vector<Part> parts = count_ranges_in_parts(ranges, [&](IndexRange range, Part& part) {
    extend_range(in, rows, sets, partners, range, part.items, part.counts);
  });
  return join_level_parts(width + 1, parts);
}

// The items each item forms a pair of `pairs` with, ascending; every item of `items` for
// every item when there is no pair check.
Partners partners_both_ways(const std::vector<std::uint32_t>& items, std::uint32_t item_space,
                            const PairSet& pairs) {
  Partners p;
  p.offsets.assign(static_cast<std::size_t>(item_space) + 1, 0);
  const bool check = !pairs.empty();
  std::vector<std::uint32_t> count(item_space, 0);
  for (std::size_t i = 0; i < items.size(); ++i)
    for (std::size_t j = i + 1; j < items.size(); ++j)
      if (!check || pairs.contains(items[i], items[j])) {
        ++count[items[i]];
        ++count[items[j]];
      }
  for (std::uint32_t item = 0; item < item_space; ++item)
    p.offsets[item + 1] = p.offsets[item] + count[item];
  p.items.resize(p.offsets[item_space]);
  std::vector<std::uint32_t> cursor(p.offsets.begin(), p.offsets.end() - 1);
  // Ascending within each item: its partners are visited in ascending order.
  for (std::size_t j = 0; j < items.size(); ++j)
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i == j) continue;
      if (!check || pairs.contains(items[i], items[j])) p.items[cursor[items[j]]++] = items[i];
    }
  return p;
}

bool strictly_ascending(std::span<const std::uint32_t> row) {
  return std::adjacent_find(row.begin(), row.end(), std::greater_equal<>()) == row.end();
}

// Sorted rows of the frequent set that can have transactions (every item known), and whether
// every row is strictly ascending (the walk's candidates are formed for such rows only).
struct KnownAnchors {
  std::vector<std::uint32_t> rows;
  bool ascending = true;
};

KnownAnchors known_anchors(const LevelInput& in) {
  KnownAnchors a;
  for (std::uint32_t r : in.frequent.sorted_rows()) {
    auto row = in.frequent.row(r);
    if (!strictly_ascending(row)) {
      a.ascending = false;
      return a;
    }
    if (row.back() < in.index.item_space) a.rows.push_back(r);
  }
  return a;
}

}  // namespace

std::optional<ItemsetTable> count_level_on_bitsets(const LevelInput& in) {
  return count_level_by_sets<BitsetSets>(in);
}

std::optional<ItemsetTable> count_every_extension_on_bitsets(const LevelInput& in) {
  const InvertedIndex& index = in.index;
  const std::size_t width = in.frequent.width();
  if (in.prefix_anchors_only || in.max_items_per_txn || in.report_min > 1 || width == 0 ||
      in.frequent.empty() || index.n_transactions == 0 ||
      index.n_transactions > tuning::kBitsetMaxTransactions)
    return std::nullopt;
  const LevelItems level = items_of_level(in);
  const std::vector<std::uint32_t>& items = level.items;
  const double avg_length = level.avg_length;
  const std::size_t words = bitset_words(index.n_transactions);
  if (items.empty() || items.size() > tuning::kLevelBitsetMaxItems ||
      items.size() * words * sizeof(std::uint64_t) > 2 * index.txn_items.size() * sizeof(std::uint32_t))
    return std::nullopt;
  const KnownAnchors anchors = known_anchors(in);
  if (!anchors.ascending) return std::nullopt;

  // The anchors' true counts come from a first pass along the sorted anchors (one AND each),
  // so the walk over their transactions is estimated from what it would really read: every
  // frequent-set item of each transaction. The bitsets intersect each anchor with each
  // partner of its first item. An anchor has no more transactions than its rarest item, so
  // where the intersections cost more even than that bound on the walk, the pass (and the
  // bitsets) are skipped: the walk would win it anyway.
  const Partners partners = partners_both_ways(items, index.item_space, in.pairs);
  double walk_bound = 0, intersect = static_cast<double>(items.size()) * items.size();
  for (std::uint32_t r : anchors.rows) {
    auto anchor = in.frequent.row(r);
    std::uint32_t least = index.n_transactions;
    for (std::uint32_t item : anchor) least = std::min(least, index.item_count(item));
    walk_bound += static_cast<double>(least) * (avg_length + tuning::kWalkTransactionCost);
    intersect += static_cast<double>(partners.offsets[anchor[0] + 1] - partners.offsets[anchor[0]]) *
                 static_cast<double>(words) * tuning::kLevelAndWordCost;
  }
  if (intersect >= walk_bound) return std::nullopt;
  const BitsetSets sets(index, items);
  // The pass runs in ranges on the pool, each loading its anchors from scratch; the counts'
  // sum is exact, so the choice is the same for any number of threads.
  const std::vector<IndexRange> trial_ranges =
      anchors.rows.size() <= tuning::kParallelAnchorMin
          ? std::vector<IndexRange>{{0, anchors.rows.size()}}
          : even_ranges(anchors.rows.size(), pool_threads() * tuning::kChunksPerThread);
  std::uint64_t anchor_transactions = 0;
  for (const std::uint64_t part : map_ranges<std::uint64_t>(
           trial_ranges, [&](IndexRange range, std::uint64_t& sum) {
             typename BitsetSets::Stack stack(sets, width);
             std::vector<std::uint32_t> previous;
             for (std::size_t i = range.begin; i < range.end; ++i) {
               throw_if_cancelled_every(i);
               load_anchor(stack, previous, in.frequent.row(anchors.rows[i]), width);
               sum += stack.anchor_count();
             }
           }))
    anchor_transactions += part;
  const double walk = static_cast<double>(anchor_transactions) *
                      (avg_length + tuning::kWalkTransactionCost);
  if (intersect >= walk) return std::nullopt;

  const auto cost = [&](std::size_t i) {
    const std::uint32_t first = in.frequent.row(anchors.rows[i])[0];
    return partners.offsets[first + 1] - partners.offsets[first] + 1;
  };
  // An extension met from several anchors is counted by the one that owns it only. Masks
  // over the level's items find an anchor's owned extensions with a few word operations;
  // where they would outgrow one direction of the index, each candidate is tested on its own.
  const ExtensionOwnership ownership = extension_ownership(
      in, anchors.rows, items, index.txn_items.size() * sizeof(std::uint32_t));
  return extend_anchors(
      anchors.rows.size(), index.item_space, width + 1, cost,
      [&](IndexRange range, Scratch& scratch) {
        typename BitsetSets::Stack stack(sets, width);
        std::vector<std::uint32_t> previous;
        const auto keep_counted = [&](std::span<const std::uint32_t> anchor, std::uint32_t x) {
          const std::uint32_t count = stack.count_with(x, 1);
          if (count == 0 || count < in.report_min) return;
          form_candidate(anchor, x, scratch.candidate);
          scratch.keep(scratch.candidate, count);
        };
        for (std::size_t i = range.begin; i < range.end; ++i) {
          throw_if_cancelled();
          auto anchor = in.frequent.row(anchors.rows[i]);
          load_anchor(stack, previous, anchor, width);
          if (stack.anchor_count() == 0) continue;
          if (ownership.masks) {
            if (!scratch.masked) scratch.masked.emplace(*ownership.masks, width);
            scratch.masked->load(anchor);
            scratch.masked->each_owned([&](std::uint32_t x) { keep_counted(anchor, x); });
            continue;
          }
          const std::uint32_t* begin = partners.items.data() + partners.offsets[anchor[0]];
          const std::uint32_t* end = partners.items.data() + partners.offsets[anchor[0] + 1];
          for (const std::uint32_t* x = begin; x != end; ++x) {
            if (anchor_holds(anchor, *x)) continue;
            bool pairs_ok = true;
            if (!in.pairs.empty())
              for (std::size_t d = 1; d < width && pairs_ok; ++d)
                pairs_ok = in.pairs.contains(anchor[d], *x);
            if (!pairs_ok) continue;
            const std::size_t position = form_candidate(anchor, *x, scratch.candidate);
            if (ownership.owners->keeps(scratch.candidate, position, scratch.rest))
              keep_counted(anchor, *x);
          }
        }
      });
}

std::optional<ItemsetTable> count_level_on_roaring(const LevelInput& in) {
  return count_level_by_sets<RoaringSets>(in);
}

}  // namespace tallyfold
