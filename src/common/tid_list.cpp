#include "common/tid_list.hpp"

#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

ItemTxnsRoaring ItemTxnsRoaring::from_index(const InvertedIndex& index,
                                            const std::vector<std::uint8_t>* wanted) {
  ItemTxnsRoaring items;
  items.bitmaps.resize(index.item_space);
  auto build = [&](std::uint32_t i) {
    if (wanted == nullptr || (*wanted)[i]) items.bitmaps[i] = Bitmap::of(index.txns_of(i));
  };
  if (index.item_txns.size() < tuning::kParallelItemBitmapsMinTids) {
    for (std::uint32_t i = 0; i < index.item_space; ++i) build(i);
  } else {
    tbb::parallel_for(std::uint32_t{0}, index.item_space, build);
  }
  throw_if_cancelled();
  return items;
}

TidList TidList::from_roaring(Bitmap bitmap) {
  TidList list;
  const std::uint64_t n = bitmap.cardinality();
  if (n > kTidDenseThreshold) {
    list.set_ = std::move(bitmap);
    return list;
  }
  SparseTids sparse;
  sparse.length = static_cast<std::uint32_t>(n);
  bitmap.copy_to(sparse.tids.data());
  list.set_ = sparse;
  return list;
}

TidList TidList::of(std::span<const std::uint32_t> tids) {
  TidList list;
  if (tids.size() > kTidDenseThreshold) {
    list.set_ = Bitmap::of(tids);
    return list;
  }
  SparseTids sparse;
  sparse.length = static_cast<std::uint32_t>(tids.size());
  std::copy(tids.begin(), tids.end(), sparse.tids.begin());
  list.set_ = sparse;
  return list;
}

TidList TidList::intersect_with_bitmap(const Bitmap& other) const {
  if (const Bitmap* dense = std::get_if<Bitmap>(&set_)) return from_roaring(dense->intersect(other));
  // A Sparse list holds at most 32 values, so the filtered result is Sparse too.
  const SparseTids& mine = std::get<SparseTids>(set_);
  TidList list;
  SparseTids kept;
  for (std::uint32_t t : mine.view())
    if (other.contains(t)) kept.tids[kept.length++] = t;
  list.set_ = kept;
  return list;
}

std::uint64_t TidList::length() const {
  if (const Bitmap* dense = std::get_if<Bitmap>(&set_)) return dense->cardinality();
  return std::get<SparseTids>(set_).length;
}

std::span<const std::uint32_t> TidList::walk(std::vector<std::uint32_t>& buffer) const {
  if (const Bitmap* dense = std::get_if<Bitmap>(&set_)) {
    dense->decode(buffer);
    return buffer;
  }
  return std::get<SparseTids>(set_).view();
}

}  // namespace tallyfold
