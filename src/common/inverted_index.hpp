#pragma once
// The two-way CSR index of one mining call: items per transaction and transactions per
// item, both sorted and free of duplicates, with per-item counts. Built once per call, its
// linear passes on the pool, and read-only afterwards, so workers share it without locks.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/caller_array.hpp"
#include "common/item_numbering.hpp"
#include "common/uninit_vector.hpp"

namespace tallyfold {

struct InvertedIndex {
  UninitVector<std::uint32_t> txn_offsets;  // n_transactions + 1 entries, first is 0
  UninitVector<std::uint32_t> txn_items;   // per transaction, strictly ascending item ids
  std::vector<std::uint32_t> item_offsets; // item_space + 1 entries
  // Per item, strictly ascending transaction indices. Sized without a fill: the build's
  // scatter writes every entry, on the pool, rather than one thread zeroing them first.
  UninitVector<std::uint32_t> item_txns;
  std::vector<std::uint32_t> item_counts;  // distinct transactions per item, item_space entries
  std::uint32_t n_transactions = 0;
  std::uint32_t n_items = 0;     // the caller's item-id space
  // Item numbers in the fields above are `numbering`'s: the caller's ids when they are dense
  // enough, else dense numbers in id order (results go through numbering.to_caller_ids).
  ItemNumbering numbering;
  // One more than the largest item number (0 without rows). Per-item structures are sized
  // by it rather than by n_items: an id space of four billion with a few used ids must not
  // cost gigabytes. Numbers at or above it occur nowhere.
  std::uint32_t item_space = 0;

  std::uint32_t item_count(std::uint32_t item) const {
    return item < item_space ? item_counts[item] : 0;
  }

  std::span<const std::uint32_t> items_of(std::uint32_t txn) const {
    return {txn_items.data() + txn_offsets[txn], txn_items.data() + txn_offsets[txn + 1]};
  }
  std::span<const std::uint32_t> txns_of(std::uint32_t item) const {
    return {item_txns.data() + item_offsets[item], item_txns.data() + item_offsets[item + 1]};
  }
};

// A CSR whose rows are sorted and de-duplicated.
struct Csr {
  UninitVector<std::uint32_t> values;
  UninitVector<std::uint32_t> offsets;  // rows + 1 entries, first is 0
};

// Renumbers transactions densely in order of first appearance (and items, when their ids are
// sparse) and builds both CSR directions by counting and scattering; the caller's
// transaction ids are not kept. The result does not depend on the number of threads. Reads
// each caller value once. Throws Panic for an item id
// outside 0..n_items-1 or an `item_ids` shorter than `txn_ids`, LimitError for 2^32 rows or
// more.
InvertedIndex build_inverted_index(CallerArray<std::int64_t> txn_ids,
                                   CallerArray<std::int32_t> item_ids, std::uint32_t n_items);

// The same index with the item check optional: with `check_below` an id that, widened as a
// signed value, is not below it throws Panic; without it every id counts as its 32-bit
// pattern (a negative id as a large one). n_items is left at 0.
InvertedIndex build_index_of_rows(CallerArray<std::int64_t> txn_ids,
                                  CallerArray<std::int32_t> item_ids,
                                  std::optional<std::uint32_t> check_below);

// Sorts every row of (values, offsets) ascending and removes duplicates, reusing the buffers.
// `offsets` needs at least rows + 1 non-decreasing entries ending within `values`; a violated
// bound throws Panic.
Csr sort_dedup_csr(UninitVector<std::uint32_t> values, UninitVector<std::uint32_t> offsets,
                   std::size_t rows);

// Throws LimitError when `rows` does not fit the index's 32-bit offsets.
void check_row_limit(std::uint64_t rows);

}  // namespace tallyfold
