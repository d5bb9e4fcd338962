// The level-2 memos and the pair-neighbor lists, built once per pipeline run.
#include <algorithm>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "itemsets/memo_counters.hpp"

namespace tallyfold {

namespace {

// The transactions of every frequent pair, laid out by pair row. Each pair's list is filled
// by scanning the transactions of its smaller item, once, rather than by intersecting the
// two items' bitmaps: on sparse data the merge of two long item lists costs far more than
// the scan, and the pair counts give every list's exact length up front.
struct PairTids {
  std::vector<std::uint64_t> offsets;  // per pair row into tids
  std::vector<std::uint32_t> tids;     // ascending within each pair
  std::span<const std::uint32_t> of(std::size_t row) const {
    return {tids.data() + offsets[row], tids.data() + offsets[row + 1]};
  }
};

PairTids pair_transactions(const InvertedIndex& index, const ItemsetTable& pairs) {
  const std::uint32_t space = index.item_space;
  PairTids out;
  out.offsets.assign(pairs.size() + 1, 0);
  for (std::size_t p = 0; p < pairs.size(); ++p) out.offsets[p + 1] = out.offsets[p] + pairs.count(p);
  out.tids.resize(out.offsets.back());

  // The pairs of each smaller item, as (partner, row).
  std::vector<std::uint32_t> first(static_cast<std::size_t>(space) + 1, 0);
  for (std::size_t p = 0; p < pairs.size(); ++p) ++first[pairs.row(p)[0] + 1];
  for (std::uint32_t i = 0; i < space; ++i) first[i + 1] += first[i];
  std::vector<std::uint32_t> partner(pairs.size()), row_of(pairs.size());
  std::vector<std::uint32_t> cursor(first.begin(), first.end() - 1);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    auto pair = pairs.row(p);
    const std::uint32_t at = cursor[pair[0]]++;
    partner[at] = pair[1];
    row_of[at] = static_cast<std::uint32_t>(p);
  }

  std::vector<std::uint32_t> anchors;
  for (std::uint32_t a = 0; a < space; ++a)
    if (first[a] < first[a + 1]) anchors.push_back(a);
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  tbb::enumerable_thread_specific<std::vector<std::uint32_t>> slots(
      [&] { return std::vector<std::uint32_t>(space, kNone); });
  tbb::parallel_for(std::size_t{0}, anchors.size(), [&](std::size_t i) {
    if (cancellation_requested()) return;
    const std::uint32_t a = anchors[i];
    std::vector<std::uint32_t>& slot = slots.local();
    for (std::uint32_t j = first[a]; j < first[a + 1]; ++j) slot[partner[j]] = row_of[j];
    for (std::uint32_t t : index.txns_of(a)) {
      auto items = index.items_of(t);
      for (auto it = std::upper_bound(items.begin(), items.end(), a); it != items.end(); ++it)
        if (const std::uint32_t row = slot[*it]; row != kNone) out.tids[out.offsets[row]++] = t;
    }
    for (std::uint32_t j = first[a]; j < first[a + 1]; ++j) slot[partner[j]] = kNone;
  });
  throw_if_cancelled();
  // The fill advanced each row's offset to the next row's start: shift back.
  for (std::size_t p = pairs.size(); p > 0; --p) out.offsets[p] = out.offsets[p - 1];
  out.offsets[0] = 0;
  return out;
}

template <class Tids, class Make>
Memo<Tids> pair_memo(const InvertedIndex& index, const ItemsetTable& pairs, Make make) {
  const PairTids tids = pair_transactions(index, pairs);
  std::vector<Tids> sets(pairs.size());
  tbb::parallel_for(std::size_t{0}, pairs.size(), [&](std::size_t p) { sets[p] = make(tids.of(p)); });
  throw_if_cancelled();
  Memo<Tids> memo(2);
  memo.itemsets.reserve(pairs.size());
  for (std::size_t p = 0; p < pairs.size(); ++p)
    memo.insert(pairs.row(p), pairs.count(p), std::move(sets[p]));
  return memo;
}

}  // namespace

Memo<Bitmap> build_pair_tid_map(const InvertedIndex& index, const ItemsetTable& pairs) {
  return pair_memo<Bitmap>(index, pairs,
                           [](std::span<const std::uint32_t> tids) { return Bitmap::of(tids); });
}

Memo<TidList> build_pair_tid_map_adaptive(const InvertedIndex& index, const ItemsetTable& pairs) {
  return pair_memo<TidList>(index, pairs,
                            [](std::span<const std::uint32_t> tids) { return TidList::of(tids); });
}

PairNeighbors build_pair_neighbors(const ItemsetTable& pairs, std::uint32_t item_space) {
  PairNeighbors lists;
  lists.offsets.assign(static_cast<std::size_t>(item_space) + 1, 0);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    auto pair = pairs.row(p);
    if (pair[0] >= item_space || pair[1] >= item_space)
      panic_index_out_of_bounds(item_space, std::max(pair[0], pair[1]));
    ++lists.offsets[pair[0] + 1];
    ++lists.offsets[pair[1] + 1];
  }
  for (std::size_t i = 0; i < item_space; ++i) lists.offsets[i + 1] += lists.offsets[i];
  lists.items.resize(lists.offsets.back());
  std::vector<std::uint32_t> cursor(lists.offsets.begin(), lists.offsets.end() - 1);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    auto pair = pairs.row(p);
    lists.items[cursor[pair[0]]++] = pair[1];
    lists.items[cursor[pair[1]]++] = pair[0];
  }
  for (std::size_t i = 0; i < item_space; ++i)
    std::sort(lists.items.begin() + lists.offsets[i], lists.items.begin() + lists.offsets[i + 1]);
  return lists;
}

}  // namespace tallyfold
