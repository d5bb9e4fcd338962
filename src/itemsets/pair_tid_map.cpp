// The level-2 memos and the pair-neighbor lists, built once per pipeline run.
#include <tbb/parallel_for.h>

#include "itemsets/memo_counters.hpp"

namespace tallyfold {

namespace {

template <class Tids, class Make>
Memo<Tids> pair_memo(const ItemsetTable& pairs, const ItemTxnsRoaring& items, Make make) {
  std::vector<Tids> sets(pairs.size());
  tbb::parallel_for(std::size_t{0}, pairs.size(), [&](std::size_t p) {
    auto pair = pairs.row(p);
    sets[p] = make(items.bitmaps[pair[0]].intersect(items.bitmaps[pair[1]]));
  });
  Memo<Tids> memo(2);
  memo.itemsets.reserve(pairs.size());
  for (std::size_t p = 0; p < pairs.size(); ++p)
    memo.insert(pairs.row(p), pairs.count(p), std::move(sets[p]));
  return memo;
}

}  // namespace

Memo<Bitmap> build_pair_tid_map(const ItemsetTable& pairs, const ItemTxnsRoaring& items) {
  return pair_memo<Bitmap>(pairs, items, [](Bitmap b) { return b; });
}

Memo<TidList> build_pair_tid_map_adaptive(const ItemsetTable& pairs, const ItemTxnsRoaring& items) {
  return pair_memo<TidList>(pairs, items, [](Bitmap b) { return TidList::from_roaring(std::move(b)); });
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
