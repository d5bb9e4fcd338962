#include "itemsets/anchor_tids.hpp"

#include <algorithm>

#include "common/cancel.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

namespace {

// The frequent set sorted lexicographically doubles as a prefix tree: the members sharing a
// prefix of length d form a contiguous block whose column d is ascending. A table of the
// blocks of the first column lets each transaction item jump straight to its block.
class SortedAnchors {
 public:
  SortedAnchors(const std::vector<std::uint32_t>& rows, std::size_t width, std::uint32_t item_space)
      : rows_(rows), width_(width), n_(width == 0 ? 0 : rows.size() / width) {
    if (width_ == 0) return;
    first_begin_.assign(static_cast<std::size_t>(item_space) + 1, 0);
    // Members whose first item is at or above item_space occur in no transaction.
    std::size_t r = 0;
    for (std::uint32_t item = 0; item < item_space; ++item) {
      while (r < n_ && cell(r, 0) < item) ++r;
      first_begin_[item] = static_cast<std::uint32_t>(r);
    }
    while (r < n_ && cell(r, 0) < item_space) ++r;
    first_begin_[item_space] = static_cast<std::uint32_t>(r);
  }

  // Calls emit(anchor) for every anchor whose items all occur in `items` (ascending).
  // `position` is a zeroed scratch table indexed by item id; it is zero again on return.
  template <class Emit>
  void match(std::span<const std::uint32_t> items, std::vector<std::uint32_t>& position,
             Emit&& emit, bool has_empty_member) const {
    if (width_ == 0) {
      if (has_empty_member) emit(std::size_t{0});
      return;
    }
    for (std::size_t p = 0; p < items.size(); ++p) position[items[p]] = static_cast<std::uint32_t>(p + 1);
    for (std::size_t p = 0; p < items.size(); ++p) {
      const std::uint32_t item = items[p];
      const std::size_t lo = first_begin_[item], hi = first_begin_[item + 1];
      if (lo == hi) continue;
      if (width_ == 1)
        emit(lo);  // members are distinct, so the block is this one-item anchor
      else
        descend(lo, hi, 1, static_cast<std::uint32_t>(p + 1), position, emit);
    }
    for (std::uint32_t item : items) position[item] = 0;
  }

 private:
  std::uint32_t cell(std::size_t r, std::size_t d) const { return rows_[r * width_ + d]; }

  // The block [lo, hi) shares the anchor's first d items, the last matched at transaction
  // position `after` (1-based). Each distinct column-d value is looked up in the position
  // table: it must occur later in the transaction. Blocks are walked rather than the
  // transaction because a block holds only values that can still lead to a member.
  template <class Emit>
  void descend(std::size_t lo, std::size_t hi, std::size_t d, std::uint32_t after,
               const std::vector<std::uint32_t>& position, Emit& emit) const {
    const std::size_t space = position.size();
    if (d + 1 == width_) {
      for (std::size_t r = lo; r < hi; ++r) {
        const std::uint32_t item = cell(r, d);
        if (item < space && position[item] > after) emit(r);
      }
      return;
    }
    std::size_t r = lo;
    while (r < hi) {
      const std::uint32_t item = cell(r, d);
      std::size_t end = r + 1;
      while (end < hi && cell(end, d) == item) ++end;
      if (item < space && position[item] > after) descend(r, end, d + 1, position[item], position, emit);
      r = end;
    }
  }

  const std::vector<std::uint32_t>& rows_;
  std::size_t width_;
  std::size_t n_;
  std::vector<std::uint32_t> first_begin_;  // rows with first item i: [first_begin_[i], [i+1])
};

}  // namespace

AnchorTids collect_anchor_tids(const ItemsetTable& frequent, const ReducedTransactions& reduced) {
  AnchorTids result;
  result.width = frequent.width();
  const std::size_t n_anchors = frequent.size();
  result.anchors.reserve(n_anchors * result.width);
  for (std::uint32_t r : frequent.sorted_rows()) {
    auto row = frequent.row(r);
    result.anchors.insert(result.anchors.end(), row.begin(), row.end());
  }
  const SortedAnchors sorted(result.anchors, result.width, reduced.item_space);
  const bool has_empty_member = result.width == 0 && n_anchors > 0;

  // Each chunk of transactions lists its (anchor, transaction) matches; a counting sort by
  // anchor then lays them out, chunk by chunk, so every anchor's transactions stay ascending.
  const std::vector<std::uint32_t>& kept = reduced.kept;
  const std::size_t chunks = kept.size() <= tuning::kParallelTransactionMin
                                 ? 1
                                 : pool_threads() * tuning::kChunksPerThread;
  const auto ranges = even_ranges(kept.size(), chunks);
  // The members' counts bound the number of matches (each member occurs in at most its
  // count of transactions); reserving by them spares the list its regrowth copies.
  std::uint64_t expected = 0;
  for (std::size_t r = 0; r < frequent.size(); ++r) expected += frequent.count(r);
  expected = std::min<std::uint64_t>(expected, std::uint64_t{1} << 28);
  auto collect = [&](IndexRange range, std::vector<std::uint64_t>& matches) {
    std::vector<std::uint32_t> position(reduced.item_space, 0);
    matches.reserve(expected * (range.end - range.begin) / std::max<std::size_t>(kept.size(), 1));
    for (std::size_t i = range.begin; i < range.end; ++i) {
      // A transaction can hold tens of thousands of anchors: look every few transactions.
      if ((i - range.begin) % 64 == 0) throw_if_cancelled();
      const std::uint32_t t = kept[i];
      auto items = reduced.items_of(t);
      if (items.size() < result.width) continue;
      sorted.match(
          items, position,
          [&](std::size_t anchor) {
            matches.push_back((static_cast<std::uint64_t>(anchor) << 32) | t);
          },
          has_empty_member);
    }
  };
  std::vector<std::vector<std::uint64_t>> parts;
  if (ranges.size() <= 1) {
    parts.resize(1);
    if (!ranges.empty()) collect(ranges[0], parts[0]);
  } else {
    parts = map_ranges<std::vector<std::uint64_t>>(ranges, collect);
  }

  result.offsets.assign(n_anchors + 1, 0);
  std::size_t total = 0;
  for (const auto& part : parts) {
    throw_if_cancelled();
    total += part.size();
    for (std::uint64_t m : part) ++result.offsets[(m >> 32) + 1];
  }
  for (std::size_t a = 0; a < n_anchors; ++a) result.offsets[a + 1] += result.offsets[a];
  result.tids.resize(total);
  std::vector<std::uint32_t> cursor(result.offsets.begin(), result.offsets.end() - 1);
  for (const auto& part : parts) {
    throw_if_cancelled();
    for (std::uint64_t m : part) result.tids[cursor[m >> 32]++] = static_cast<std::uint32_t>(m);
  }
  return result;
}

}  // namespace tallyfold
