// The level-2 memos and the pair-neighbor lists, built once per pipeline run.
#include <algorithm>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "itemsets/memo_counters.hpp"

namespace tallyfold {

namespace {

// Every frequent pair's set, handed by pair row to `store(row, ascending transactions)`
// (called from the pool, for each row once). The lists
// of the pairs of one smaller item are filled by scanning that item's transactions once,
// rather than by intersecting the two items' bitmaps: on sparse data the merge of two long
// item lists costs far more than the scan. Each list becomes its set as soon as its item's
// scan ends, so no more than one item's lists per worker are held beside the sets (on
// T10I4D100K at count 50, all pairs' lists at once took 11 MB more than the sets).
template <class Store>
void pair_sets(const InvertedIndex& index, const ItemsetTable& pairs, Store store) {
  const std::uint32_t space = index.item_space;

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
  struct Scratch {
    std::vector<std::uint32_t> slot;  // partner item -> its place among a's pairs, or kNone
    std::vector<std::uint64_t> end;   // per place, where its list ends so far in `tids`
    std::vector<std::uint32_t> tids;  // the lists of one item's pairs, back to back
  };
  tbb::enumerable_thread_specific<Scratch> scratches(
      [&] { return Scratch{std::vector<std::uint32_t>(space, kNone), {}, {}}; });
  tbb::parallel_for(std::size_t{0}, anchors.size(), [&](std::size_t i) {
    if (cancellation_requested()) return;
    const std::uint32_t a = anchors[i];
    Scratch& scratch = scratches.local();
    const std::uint32_t n = first[a + 1] - first[a];
    // The pair counts give every list's length up front: each list starts where the
    // previous one ends.
    scratch.end.assign(n + 1, 0);
    for (std::uint32_t j = 0; j < n; ++j) {
      scratch.slot[partner[first[a] + j]] = j;
      scratch.end[j + 1] = scratch.end[j] + pairs.count(row_of[first[a] + j]);
    }
    scratch.tids.resize(scratch.end[n]);
    for (std::uint32_t t : index.txns_of(a)) {
      auto items = index.items_of(t);
      for (auto it = std::upper_bound(items.begin(), items.end(), a); it != items.end(); ++it)
        if (const std::uint32_t j = scratch.slot[*it]; j != kNone)
          scratch.tids[scratch.end[j]++] = t;
    }
    // Each list has advanced to the next one's start.
    std::uint64_t begin = 0;
    for (std::uint32_t j = 0; j < n; ++j) {
      scratch.slot[partner[first[a] + j]] = kNone;
      store(row_of[first[a] + j], std::span<const std::uint32_t>(scratch.tids.data() + begin,
                                                                 scratch.end[j] - begin));
      begin = scratch.end[j];
    }
  });
  throw_if_cancelled();
}

template <class Tids, class Make>
Memo<Tids> pair_memo(const InvertedIndex& index, const ItemsetTable& pairs, Make make) {
  Memo<Tids> memo(2);
  memo.itemsets.reserve(pairs.size());
  // The pairs are distinct rows, so every one is inserted and the sets line up with them.
  for (std::size_t p = 0; p < pairs.size(); ++p) memo.itemsets.insert(pairs.row(p), pairs.count(p));
  memo.tids.resize(pairs.size());
  pair_sets(index, pairs, [&](std::uint32_t row, std::span<const std::uint32_t> tids) {
    memo.tids[row] = make(tids);
  });
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
