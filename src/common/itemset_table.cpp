#include "common/itemset_table.hpp"

#include <algorithm>
#include <numeric>

#include <tbb/parallel_sort.h>

#include "common/cancel.hpp"
#include "common/hash_growth.hpp"
#include "common/panic.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

ItemsetTable::ItemsetTable(std::size_t width)
    : store_(std::make_unique<Store>(Store{width, {}, {}})),
      index_(0, RowHash{store_.get()}, RowEq{store_.get()}) {}

ItemsetTable ItemsetTable::from_distinct_rows(std::size_t width, std::vector<std::uint32_t> items,
                                              std::vector<std::uint32_t> counts) {
  ItemsetTable table(width);
  table.store_->items = std::move(items);
  table.store_->counts = std::move(counts);
  table.indexed_ = false;
  return table;
}

ItemsetTable ItemsetTable::from_sorted_distinct_rows(std::size_t width,
                                                     std::vector<std::uint32_t> items,
                                                     std::vector<std::uint32_t> counts) {
  ItemsetTable table = from_distinct_rows(width, std::move(items), std::move(counts));
  table.in_order_ = true;
  return table;
}

void ItemsetTable::require_index() const {
  if (!indexed_) throw Panic("itemset table built from distinct rows cannot be searched");
}

std::optional<std::size_t> ItemsetTable::find(Row items) const {
  require_index();
  auto it = index_.find(items);
  if (it == index_.end()) return std::nullopt;
  return *it;
}

bool ItemsetTable::insert(Row items, std::uint32_t count) {
  require_index();
  auto it = index_.find(items);
  if (it != index_.end()) return false;
  make_room_for_one(index_);  // before the row goes in, so a failure leaves the table as it was
  const auto number = static_cast<std::uint32_t>(store_->counts.size());
  store_->items.insert(store_->items.end(), items.begin(), items.end());
  store_->counts.push_back(count);
  index_.insert(number);
  in_order_ = false;
  return true;
}

void ItemsetTable::reserve(std::size_t rows) {
  store_->items.reserve(rows * store_->width);
  store_->counts.reserve(rows);
  reserve_safely(index_, rows);
}

ItemsetTable ItemsetTable::filtered(std::uint32_t min_count) const {
  ItemsetTable kept(width());
  for (std::size_t i = 0; i < size(); ++i) {
    throw_if_cancelled_every(i);
    if (count(i) >= min_count) kept.insert(row(i), count(i));
  }
  return kept;
}

ItemsetTable ItemsetTable::in_lexicographic_order() && {
  release(index_);
  if (in_order_) {
    indexed_ = false;
    return std::move(*this);
  }
  std::vector<std::uint32_t> order = sorted_rows();
  const std::size_t w = width();
  std::vector<std::uint32_t>& items = store_->items;
  std::vector<std::uint32_t>& counts = store_->counts;
  std::vector<std::uint32_t> held(w);
  // Row position p receives row order[p]. Each cycle of the permutation is walked once from
  // its first position, whose row is held aside; a placed position is marked by order[p] = p.
  for (std::size_t start = 0; start < order.size(); ++start) {
    throw_if_cancelled_every(start);
    if (order[start] == start) continue;
    std::copy_n(items.begin() + static_cast<std::ptrdiff_t>(start * w), w, held.begin());
    const std::uint32_t held_count = counts[start];
    std::size_t p = start;
    while (order[p] != start) {
      const std::size_t from = order[p];
      std::copy_n(items.begin() + static_cast<std::ptrdiff_t>(from * w), w,
                  items.begin() + static_cast<std::ptrdiff_t>(p * w));
      counts[p] = counts[from];
      order[p] = static_cast<std::uint32_t>(p);
      p = from;
    }
    std::copy_n(held.begin(), w, items.begin() + static_cast<std::ptrdiff_t>(p * w));
    counts[p] = held_count;
    order[p] = static_cast<std::uint32_t>(p);
  }
  release(order);
  return from_sorted_distinct_rows(w, std::move(items), std::move(counts));
}


std::vector<std::uint32_t> ItemsetTable::sorted_rows() const {
  if (in_order_) {
    std::vector<std::uint32_t> rows(size());
    std::iota(rows.begin(), rows.end(), 0u);
    return rows;
  }
  return lexicographic_order(store_->items.data(), width(), size());
}

TableRowIndex::TableRowIndex(const ItemsetTable& table)
    : table_(table), index_(0, row_hashing::Hash<ItemsetTable>{&table}, row_hashing::Eq<ItemsetTable>{&table}) {
  if (table.searchable()) return;
  reserve_safely(index_, table.size());
  for (std::size_t r = 0; r < table.size(); ++r) {
    throw_if_cancelled_every(r);
    index_.insert(static_cast<std::uint32_t>(r));
  }
}

}  // namespace tallyfold
