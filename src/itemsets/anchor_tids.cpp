#include "itemsets/anchor_tids.hpp"

#include <algorithm>

#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

namespace {

// The frequent set sorted lexicographically doubles as a prefix tree: the members sharing a
// prefix of length d form a contiguous block whose column d is ascending.
class SortedAnchors {
 public:
  SortedAnchors(const std::vector<std::uint32_t>& rows, std::size_t width)
      : rows_(rows), width_(width) {}

  // Calls emit(anchor) for every anchor whose items all occur in `items` (ascending).
  template <class Emit>
  void match(std::span<const std::uint32_t> items, Emit&& emit) const {
    const std::size_t n = width_ == 0 ? (rows_.empty() ? 0 : 1) : rows_.size() / width_;
    if (n == 0) return;
    if (width_ == 0) {
      emit(std::size_t{0});
      return;
    }
    descend(0, n, 0, items, 0, emit);
  }

 private:
  std::uint32_t cell(std::size_t r, std::size_t d) const { return rows_[r * width_ + d]; }

  // First row in [lo, hi) whose column d is >= value (column d ascending in the block).
  std::size_t first_at_least(std::size_t lo, std::size_t hi, std::size_t d,
                             std::uint32_t value) const {
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (cell(mid, d) < value) lo = mid + 1; else hi = mid;
    }
    return lo;
  }

  // First row in [lo, hi) whose column d is > value.
  std::size_t first_above(std::size_t lo, std::size_t hi, std::size_t d,
                          std::uint32_t value) const {
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (cell(mid, d) <= value) lo = mid + 1; else hi = mid;
    }
    return lo;
  }

  template <class Emit>
  void descend(std::size_t lo, std::size_t hi, std::size_t d, std::span<const std::uint32_t> items,
               std::size_t pos, Emit& emit) const {
    if (d == width_) {
      emit(lo);
      return;
    }
    // Merge the block's distinct column-d values with the transaction's remaining items.
    while (lo < hi && pos < items.size()) {
      const std::uint32_t wanted = cell(lo, d);
      const std::uint32_t have = items[pos];
      if (wanted < have) {
        lo = first_at_least(lo, hi, d, have);
      } else if (have < wanted) {
        pos = static_cast<std::size_t>(
            std::lower_bound(items.begin() + pos, items.end(), wanted) - items.begin());
      } else {
        const std::size_t end = first_above(lo, hi, d, wanted);
        descend(lo, end, d + 1, items, pos + 1, emit);
        lo = end;
        ++pos;
      }
    }
  }

  const std::vector<std::uint32_t>& rows_;
  std::size_t width_;
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
  const SortedAnchors sorted(result.anchors, result.width);

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
    matches.reserve(expected * (range.end - range.begin) / std::max<std::size_t>(kept.size(), 1));
    for (std::size_t i = range.begin; i < range.end; ++i) {
      const std::uint32_t t = kept[i];
      auto items = reduced.items_of(t);
      if (items.size() < result.width) continue;
      sorted.match(items, [&](std::size_t anchor) {
        matches.push_back((static_cast<std::uint64_t>(anchor) << 32) | t);
      });
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
    total += part.size();
    for (std::uint64_t m : part) ++result.offsets[(m >> 32) + 1];
  }
  for (std::size_t a = 0; a < n_anchors; ++a) result.offsets[a + 1] += result.offsets[a];
  result.tids.resize(total);
  std::vector<std::uint32_t> cursor(result.offsets.begin(), result.offsets.end() - 1);
  for (const auto& part : parts)
    for (std::uint64_t m : part) result.tids[cursor[m >> 32]++] = static_cast<std::uint32_t>(m);
  return result;
}

}  // namespace tallyfold
