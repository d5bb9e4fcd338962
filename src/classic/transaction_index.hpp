#pragma once
// The classic miner's own index of one call: for every item that occurs, the transactions
// holding it, and its count. Unlike the InvertedIndex it keeps the caller's transaction ids
// (numbered in ascending signed order, so a list of numbers reads back as ascending caller
// ids), never checks item ids against n_items, and can cut each transaction to its heaviest
// items before anything is counted.
//
// Items live in slots 0..n_items()-1 numbered in ascending order of their id read as u32
// (a negative id is a large one). Because the numbering keeps order, itemsets written in slots
// sort, join and compare exactly as the same itemsets written in ids.
//
// Built on the calling thread, narrowed once, given bitsets in place of its lists where the
// data are dense, then read-only: counting workers share it.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/caller_array.hpp"
#include "common/uninit_vector.hpp"

namespace tallyfold {

class TransactionIndex {
 public:
  // Rows are (txn_ids[r], item_ids[r]); item ids are taken as their 32-bit pattern. When both
  // `item_weights` and `max_items_per_txn` are given, a transaction with more items than the
  // cap keeps its cap heaviest (cap_by_weight: ties and NaN keep ascending ids); either one
  // alone changes nothing. A transaction the cap empties still counts in n_transactions().
  // Throws Panic when item_ids is shorter than txn_ids, LimitError past 2^32 - 1 rows. With
  // `check_below`, an id that is not below it (widened as a signed value) throws Panic too,
  // the first such row in row order. Each caller value is loaded once.
  static TransactionIndex build_with_cap(CallerArray<std::int64_t> txn_ids,
                                         CallerArray<std::int32_t> item_ids,
                                         std::optional<CallerArray<double>> item_weights,
                                         std::optional<std::uint64_t> max_items_per_txn,
                                         std::optional<std::uint32_t> check_below = std::nullopt);

  // Distinct caller transaction ids in the input, emptied transactions included.
  std::uint32_t n_transactions() const { return n_transactions_; }
  // Items that occur (after narrowing: the items that were kept).
  std::uint32_t n_items() const { return static_cast<std::uint32_t>(items_.size()); }

  std::uint32_t item_id(std::uint32_t slot) const { return items_[slot]; }
  std::uint32_t count(std::uint32_t slot) const { return tid_offsets_[slot + 1] - tid_offsets_[slot]; }
  std::optional<std::uint32_t> slot_of(std::uint32_t item_id) const;

  // Transaction numbers holding the item, ascending; never empty. The lists and rows below
  // are gone once bitsets are built.
  std::span<const std::uint32_t> tids(std::uint32_t slot) const {
    require_lists();
    return {tids_.data() + tid_offsets_[slot], tids_.data() + tid_offsets_[slot + 1]};
  }
  // Slots of one transaction, ascending.
  std::span<const std::uint32_t> items_of(std::uint32_t txn) const {
    require_lists();
    return {txn_items_.data() + txn_offsets_[txn], txn_items_.data() + txn_offsets_[txn + 1]};
  }
  // The same rows as one CSR, for scans that prefetch (csr_scan.hpp).
  const std::uint32_t* row_offsets() const {
    require_lists();
    return txn_offsets_.data();
  }
  const std::uint32_t* row_items() const {
    require_lists();
    return txn_items_.data();
  }
  // Mean length of the transaction that holds a randomly drawn item occurrence: what one
  // horizontal scan step costs on average.
  double occurrence_weighted_length() const { return weighted_length_; }

  // Number of transactions holding every item of `item_ids` (caller ids, any order), if it
  // reaches `min_count`. Intersects rarest first and gives up at the first step that falls
  // below min_count; an empty itemset or an item that never occurs gives nothing.
  std::optional<std::uint32_t> count_support_sc(std::span<const std::uint32_t> item_ids,
                                                std::uint32_t min_count) const;

  // The same intersection over slots, leaving the transactions in `out`. Returns false (and
  // leaves `out` unspecified) when the itemset is empty or falls below min_count.
  bool intersect_sc(std::span<const std::uint32_t> slots, std::uint32_t min_count,
                    std::vector<std::uint32_t>& out) const;

  // Drops every item whose count is below min_count and renumbers the rest in order (before
  // bitsets are built: the lists are narrowed).
  void retain_items_reaching(std::uint32_t min_count);

  // One bitset of transactions per item, for data dense enough that bitwise intersection
  // beats list intersection. Built on request, in place of the lists and rows: counting on
  // bitsets reads nothing else, and they take no more memory than the two did. Counts stay.
  void build_bitsets();
  bool has_bitsets() const { return has_bitsets_; }
  std::size_t bitset_words() const { return words_; }
  const std::uint64_t* bitset(std::uint32_t slot) const { return bitsets_.data() + slot * words_; }

  // Items are, on average, in at least 1/64 of the transactions: bitsets for every item then
  // take at most twice the memory of the lists, and count faster.
  bool dense_enough_for_bitsets() const;

 private:
  // Lists per slot and the weighted length, from the per-transaction rows.
  void build_vertical();
  void require_lists() const {
    if (has_bitsets_) [[unlikely]] lists_gone();
  }
  [[noreturn]] static void lists_gone();
  void update_weighted_length();

  std::vector<std::uint32_t> items_;        // item id of each slot, ascending
  std::uint32_t n_transactions_ = 0;        // numbered in order of first appearance
  UninitVector<std::uint32_t> txn_offsets_;  // per transaction, its slots ascending
  UninitVector<std::uint32_t> txn_items_;
  std::vector<std::uint32_t> tid_offsets_;  // per slot, its transaction numbers ascending
  UninitVector<std::uint32_t> tids_;
  double weighted_length_ = 0.0;
  std::vector<std::uint64_t> bitsets_;  // words_ words per slot
  std::size_t words_ = 0;
  bool has_bitsets_ = false;
};

}  // namespace tallyfold
