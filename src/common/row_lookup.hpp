#pragma once
// Row numbers of a table of variable-length itemsets, looked up by their id sequence. A row's
// hash is the sum of a fixed 64-bit key per id, so the hash of a row with one id left out,
// or of the rest of a row once a subset is known, is a subtraction away: lookups of subsets
// never rehash ids. The set stores row numbers only and reads rows from the borrowed table,
// which must outlive the lookup and stay unchanged. Lookups are read-only and safe from many
// threads.

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "common/itemset_csr.hpp"

namespace tallyfold {

class RowLookup {
 public:
  using Row = std::span<const std::uint32_t>;
  static constexpr std::size_t kKeepAll = std::numeric_limits<std::size_t>::max();

  // Indexes every row of `rows`; a repeated row keeps its first row number. Throws
  // LimitError past 2^32 - 1 rows.
  explicit RowLookup(const ItemsetCsrView& rows);

  // The key of one id; a row's hash is the sum of its ids' keys.
  static std::uint64_t id_key(std::uint32_t id) {
    std::uint64_t z = id + 0x9E3779B97F4A7C15ull;  // splitmix64: every bit depends on every bit
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  static std::uint64_t hash_of(Row itemset) {
    std::uint64_t h = 0;
    for (std::uint32_t id : itemset) h += id_key(id);
    return h;
  }
  std::uint64_t row_hash(std::size_t r) const { return hashes_[r]; }

  // The row equal to `itemset` whose hash is `hash` (as hash_of(itemset)).
  std::optional<std::size_t> find(Row itemset, std::uint64_t hash) const;
  std::optional<std::size_t> find(Row itemset) const { return find(itemset, hash_of(itemset)); }
  // The row equal to row r without its id at position `skip`.
  std::optional<std::size_t> find_without(std::size_t r, std::size_t skip) const;

 private:
  struct Probe {
    std::uint64_t hash;
    Row row;
    std::size_t skip;  // a position of `row` left out, or kKeepAll
  };
  // The hash is kept beside the row number so that a probe rejects most non-matching
  // entries without reading the row.
  struct Entry {
    std::uint64_t hash;
    std::uint32_t row;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(const Entry& e) const { return e.hash; }
    std::size_t operator()(const Probe& p) const { return p.hash; }
  };
  struct Eq {
    using is_transparent = void;
    const RowLookup* self;
    bool operator()(const Entry& a, const Entry& b) const { return a.row == b.row; }
    bool operator()(const Entry& a, const Probe& p) const { return self->equals(a, p); }
    bool operator()(const Probe& p, const Entry& a) const { return self->equals(a, p); }
  };
  bool equals(const Entry& e, const Probe& p) const;
  std::optional<std::size_t> find(const Probe& probe) const;
  Probe probe_without(std::size_t r, std::size_t skip) const {
    const Row row = rows_.row(r);
    return Probe{hashes_[r] - id_key(row[skip]), row, skip};
  }

  ItemsetCsrView rows_;
  std::vector<std::uint64_t> hashes_;
  absl::flat_hash_set<Entry, Hash, Eq> index_;
};

}  // namespace tallyfold
