#pragma once
// The data as the Eclat search reads it: rows of transactions cut to the items that may still
// extend the current itemsets, and bitsets of items for dense data. Built per call (the whole
// data) or per top-level item (its projection); read-only while the search runs on them.

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/uninit_vector.hpp"
#include "eclat/eclat.hpp"

namespace tallyfold::eclat {

inline constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Every transaction cut to its frequent items, each named by its rank (its position in the
// node list), ascending. Scanning these instead of the index skips the infrequent items,
// which in sparse data are most of them.
struct RankedRows {
  std::vector<std::uint32_t> offsets;
  UninitVector<std::uint32_t> ranks;

  const std::uint32_t* begin(std::uint32_t t) const { return ranks.data() + offsets[t]; }
  const std::uint32_t* end(std::uint32_t t) const { return ranks.data() + offsets[t + 1]; }
};


// Rows of transactions cut to "columns", the items that may still extend the itemsets being
// searched, by ascending column; a transaction set is a set of row numbers ("positions").
// Two kinds are used: the whole data with every frequent item as a column, and the
// transactions of one top-level item a, renumbered 0 .. universe - 1 in ascending order and
// cut to the items b > a for which {a, b} is frequent. Everything below a lives inside the
// latter's small universe, narrow enough for 16-bit positions in most subtrees.
struct ProjectionView {
  std::uint32_t universe = 0;
  std::size_t n_cols = 0;
  const std::uint32_t* offsets = nullptr;  // universe + 1
  const std::uint32_t* cols = nullptr;
  const std::uint32_t* col_items = nullptr;  // item id of each column
  // Mean number of row entries after the column over the rows that hold it: what one
  // delivery pass over that column's transactions reads per transaction.
  const double* suffix_mean = nullptr;

  const std::uint32_t* row_begin(std::uint32_t p) const { return cols + offsets[p]; }
  const std::uint32_t* row_end(std::uint32_t p) const { return cols + offsets[p + 1]; }
};

// Storage of a projection built per top-level item.
struct Projection {
  std::uint32_t universe = 0;
  std::vector<std::uint32_t> offsets;
  // Entries of the rows up to offsets[universe]; storage past them is left over from earlier
  // projections and never read.
  UninitVector<std::uint32_t> cols;
  std::vector<std::uint32_t> col_items;
  std::vector<std::uint32_t> col_counts;  // count of {a, column item}
  std::vector<double> suffix_mean;
  std::vector<std::uint64_t> suffix_total;

  ProjectionView view() const {
    return {universe,      col_items.size(),  offsets.data(), cols.data(),
            col_items.data(), suffix_mean.data()};
  }
};

// Each frequent item's transactions as a bitset over all transactions, for data dense
// enough that the pairs are cheaper to count by AND than by reading rows.
struct DenseItems {
  std::size_t words = 0;
  std::vector<std::uint64_t> bits;
  const std::uint64_t* of(std::uint32_t rank) const { return bits.data() + rank * words; }
};

// The whole data as a projection: every frequent item a column, named by its rank.
struct WholeData {
  std::vector<std::uint32_t> items;
  std::vector<double> suffix_mean;
  ProjectionView view;
};

// Every transaction's frequent items as ranks; `nodes` ascending by item id.
RankedRows rank_rows(const InvertedIndex& index, std::span<const ItemNode> nodes);

// The whole data as a projection with every frequent item (by rank) as a column.
WholeData whole_data(const RankedRows& rows, std::span<const ItemNode> nodes);

// Whether counting the pairs by AND over all transactions beats gathering every item's rows:
// the first costs a word per 64 transactions for each pair of items, the second grows with
// the square of the transaction lengths.
bool pairs_by_and(const RankedRows& rows, std::size_t n_ranks);

DenseItems dense_items(const RankedRows& rows, std::size_t n_ranks);

// Copies the part after rank i of each transaction of `tids` into `proj` (rows by position,
// still as ranks) and counts every rank met, marking it in the bitset `touched`. These
// are the search's only reads scattered over the whole data, so rows are fetched a few
// transactions ahead: the offset first, then the row's end where the part after i lies.
// Without it every row costs a trip to memory on data larger than the cache.
void gather_suffixes(const RankedRows& rows, std::span<const std::uint32_t> tids, std::uint32_t i,
                     Projection& proj, std::uint32_t* counts, std::uint64_t* touched);

}  // namespace tallyfold::eclat
