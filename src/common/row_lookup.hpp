#pragma once
// Row numbers of a table of variable-length itemsets, looked up by their id sequence. The
// hash set stores row numbers only; rows are read from the borrowed table, which must
// outlive the lookup and stay unchanged. Lookups are read-only and safe from many threads.

#include <cstdint>
#include <optional>
#include <span>

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include "common/itemset_rows.hpp"

namespace tallyfold {

class RowLookup {
 public:
  using Row = std::span<const std::uint32_t>;

  // Indexes every row of `rows`; a repeated row keeps its first row number.
  explicit RowLookup(const ItemsetRowsView& rows);

  std::optional<std::size_t> find(Row itemset) const;

 private:
  struct RowHash {
    using is_transparent = void;
    const ItemsetRowsView* rows;
    std::size_t operator()(std::uint32_t r) const { return (*this)(rows->row(r)); }
    std::size_t operator()(Row r) const {
      return absl::Hash<absl::Span<const std::uint32_t>>{}(
          absl::Span<const std::uint32_t>(r.data(), r.size()));
    }
  };
  struct RowEq {
    using is_transparent = void;
    const ItemsetRowsView* rows;
    static bool same(Row a, Row b) {
      if (a.size() != b.size()) return false;
      for (std::size_t k = 0; k < a.size(); ++k)
        if (a[k] != b[k]) return false;
      return true;
    }
    bool operator()(std::uint32_t a, std::uint32_t b) const { return a == b; }
    bool operator()(std::uint32_t a, Row b) const { return same(rows->row(a), b); }
    bool operator()(Row a, std::uint32_t b) const { return same(a, rows->row(b)); }
  };

  ItemsetRowsView rows_;
  absl::flat_hash_set<std::uint32_t, RowHash, RowEq> index_;
};

}  // namespace tallyfold
