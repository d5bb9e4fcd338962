#pragma once
// A set of itemsets of one length with a count each. Within a level every itemset has the
// same length, so rows live back to back in one buffer (no allocation per itemset) and the
// hash index stores row numbers. Iteration order is insertion order here, but callers fill
// tables from seeded hash maps and parallel chunks: treat the row order as unspecified until
// in_lexicographic_order() fixes it.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include "common/row_order.hpp"

namespace tallyfold {


// Hashing of row numbers by the items of the rows they name, so a hash set of row numbers
// finds a row from its items. `Rows` has row(number) returning the row's items.
namespace row_hashing {
template <class Rows>
struct Hash {
  using is_transparent = void;
  const Rows* rows;
  std::size_t operator()(std::uint32_t i) const { return (*this)(rows->row(i)); }
  // The items folded into one word, which the integer hash then mixes: rows are short and
  // of one width per table, so a general span hash (length and all) costs more than it adds.
  // Two items fold without loss; longer rows rarely collide, and equality settles it.
  std::size_t operator()(std::span<const std::uint32_t> r) const {
    std::uint64_t folded = 0;
    for (std::uint32_t item : r) folded = ((folded << 32) | (folded >> 32)) * 0x9E3779B97F4A7C15ull ^ item;
    return absl::Hash<std::uint64_t>{}(folded);
  }
};
template <class Rows>
struct Eq {
  using is_transparent = void;
  const Rows* rows;
  static bool same(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) {
    for (std::size_t k = 0; k < a.size(); ++k)
      if (a[k] != b[k]) return false;
    return true;
  }
  bool operator()(std::uint32_t a, std::uint32_t b) const { return a == b; }
  bool operator()(std::uint32_t a, std::span<const std::uint32_t> b) const {
    return same(rows->row(a), b);
  }
  bool operator()(std::span<const std::uint32_t> a, std::uint32_t b) const {
    return same(a, rows->row(b));
  }
};
}  // namespace row_hashing

class ItemsetTable {
 public:
  using Row = std::span<const std::uint32_t>;

  explicit ItemsetTable(std::size_t width = 0);

  // A table of rows the caller knows to be distinct (rows back to back, width each), built
  // without hashing: for levels that are only read from here on, never searched.
  static ItemsetTable from_distinct_rows(std::size_t width, std::vector<std::uint32_t> items,
                                         std::vector<std::uint32_t> counts);
  // The same for rows the caller also knows to be in ascending lexicographic order: sorting
  // them again (sorted_rows, in_lexicographic_order) costs nothing.
  static ItemsetTable from_sorted_distinct_rows(std::size_t width, std::vector<std::uint32_t> items,
                                                std::vector<std::uint32_t> counts);
  ItemsetTable(ItemsetTable&&) noexcept = default;
  ItemsetTable& operator=(ItemsetTable&&) noexcept = default;

  std::size_t width() const { return store_->width; }
  std::size_t size() const { return store_->counts.size(); }
  bool empty() const { return size() == 0; }

  Row row(std::size_t i) const {
    return {store_->items.data() + i * store_->width, store_->width};
  }
  std::uint32_t count(std::size_t i) const { return store_->counts[i]; }

  // Row number of `items`, if present.
  std::optional<std::size_t> find(Row items) const;
  bool contains(Row items) const { return find(items).has_value(); }
  // Whether find and insert work (a table built from distinct rows has no hash index).
  bool searchable() const { return indexed_; }

  // Inserts `items` with `count` unless already present (the first entry wins).
  // Returns true when inserted.
  bool insert(Row items, std::uint32_t count);

  void reserve(std::size_t rows);

  // Keeps only the rows whose count reaches `min_count`.
  ItemsetTable filtered(std::uint32_t min_count) const;
  bool all_counts_at_least(std::uint32_t min_count) const {
    for (std::uint32_t c : store_->counts)
      if (c < min_count) return false;
    return true;
  }

  // Row numbers in ascending lexicographic order of their itemsets.
  std::vector<std::uint32_t> sorted_rows() const;

  // The same rows in ascending lexicographic order, as a read-only table (the order in which
  // results are handed to callers: the same for every run and thread count). The rows are
  // reordered in place: the hash index goes first, and no second copy of them is made.
  ItemsetTable in_lexicographic_order() &&;

  // The rows back to back and the counts, for handing to the result arrays.
  std::vector<std::uint32_t> take_items() {
    in_order_ = false;
    return std::move(store_->items);
  }
  std::vector<std::uint32_t> take_counts() {
    in_order_ = false;
    return std::move(store_->counts);
  }

 private:
  void require_index() const;

  // Rows live behind a pointer so the hash index, which reads them, survives moves.
  struct Store {
    std::size_t width;
    std::vector<std::uint32_t> items;
    std::vector<std::uint32_t> counts;
    Row row(std::uint32_t i) const { return {items.data() + i * width, width}; }
  };
  using RowHash = row_hashing::Hash<Store>;
  using RowEq = row_hashing::Eq<Store>;

  std::unique_ptr<Store> store_;
  bool indexed_ = true;  // false for a table built from distinct rows: find/insert refused
  bool in_order_ = false;  // rows known to be in ascending lexicographic order
  absl::flat_hash_set<std::uint32_t, RowHash, RowEq> index_;
};

// Membership of rows in a table that is only read: the table's own hash index when it has
// one, otherwise one built here over its rows (which the table keeps distinct).
class TableRowIndex {
 public:
  explicit TableRowIndex(const ItemsetTable& table);
  bool contains(ItemsetTable::Row items) const {
    return table_.searchable() ? table_.contains(items) : index_.contains(items);
  }

 private:
  const ItemsetTable& table_;
  absl::flat_hash_set<std::uint32_t, row_hashing::Hash<ItemsetTable>, row_hashing::Eq<ItemsetTable>>
      index_;
};

}  // namespace tallyfold
