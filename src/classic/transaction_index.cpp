#include "classic/transaction_index.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "classic/tid_sets.hpp"
#include "common/input_rows.hpp"
#include "common/cancel.hpp"
#include "common/close_up_rows.hpp"
#include "common/inverted_index.hpp"
#include "common/panic.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "common/weight_cap.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

TransactionIndex TransactionIndex::build_with_cap(CallerArray<std::int64_t> txn_ids,
                                                  CallerArray<std::int32_t> item_ids,
                                                  std::optional<CallerArray<double>> item_weights,
                                                  std::optional<std::uint64_t> max_items_per_txn,
                                                  std::optional<std::uint32_t> check_below) {
  const std::size_t rows = txn_ids.size();
  check_row_limit(rows);
  // Extra entries of item_ids are never read; a missing one is the caller's bug, caught
  // before any work.
  if (item_ids.size() < rows) panic_index_out_of_bounds(item_ids.size(), item_ids.size());
  // The shared index build (its passes on the pool) reads each caller value once; the
  // classic index takes over its arrays. Its item numbers are in id order, so the items that
  // occur, in that order, are the slots.
  InvertedIndex rows_index = build_index_of_rows(txn_ids, item_ids, check_below);
  TransactionIndex index;
  index.n_transactions_ = rows_index.n_transactions;
  const std::uint32_t space = rows_index.item_space;
  constexpr std::uint32_t kAbsent = ~std::uint32_t{0};
  std::vector<std::uint32_t> slot_of_number(space, kAbsent);
  index.tid_offsets_.reserve(std::size_t{space} + 1);
  for (std::uint32_t i = 0; i < space; ++i) {
    if (rows_index.item_counts[i] == 0) continue;
    slot_of_number[i] = static_cast<std::uint32_t>(index.items_.size());
    index.items_.push_back(rows_index.numbering.caller_id(i));
    index.tid_offsets_.push_back(rows_index.item_offsets[i]);
  }
  index.tid_offsets_.push_back(rows_index.item_offsets[space]);
  index.tids_ = std::move(rows_index.item_txns);
  index.txn_offsets_ = std::move(rows_index.txn_offsets);
  index.txn_items_ = std::move(rows_index.txn_items);
  if (index.items_.size() != space) {
    // Numbers of absent items are skipped; renumbering keeps the rows ascending.
    UninitVector<std::uint32_t>& values = index.txn_items_;
    for_each_range(pass_chunks(values.size(), tuning::kParallelIndexMinRows, tuning::kIndexChunkMinRows),
                   [&](std::size_t, IndexRange range) {
                     for (std::size_t p = range.begin; p < range.end; ++p)
                       values[p] = slot_of_number[values[p]];
                   });
  }
  rows_index = {};

  if (item_weights && max_items_per_txn) {
    // Weights by slot: slots keep the order of ids, so cap_by_weight's tie rule (ascending
    // position) still means ascending id.
    std::vector<double> slot_weights(index.items_.size(), 0.0);
    for (std::size_t s = 0; s < slot_weights.size(); ++s)
      if (index.items_[s] < item_weights->size()) slot_weights[s] = item_weights->load(index.items_[s]);
    std::uint32_t write = 0, begin = 0;
    for (std::uint32_t t = 0; t < index.n_transactions(); ++t) {
      const std::uint32_t end = index.txn_offsets_[t + 1];
      std::uint32_t* row = index.txn_items_.data() + begin;
      const auto kept = static_cast<std::uint32_t>(
          cap_by_weight(row, end - begin, slot_weights, *max_items_per_txn));
      if (write != begin) std::copy(row, row + kept, index.txn_items_.data() + write);
      write += kept;
      index.txn_offsets_[t + 1] = write;
      begin = end;
    }
    index.txn_items_.resize(write);
    index.build_vertical();
    // The cap can take an item out of every transaction; the index holds only items that occur.
    index.retain_items_reaching(1);
  } else {
    index.update_weighted_length();
  }
  return index;
}

void TransactionIndex::build_vertical() {
  const std::uint32_t n_slots = n_items();
  tid_offsets_.assign(n_slots + 1, 0);
  for (std::uint32_t s : txn_items_) ++tid_offsets_[s + 1];
  for (std::uint32_t s = 0; s < n_slots; ++s) tid_offsets_[s + 1] += tid_offsets_[s];
  std::vector<std::uint32_t> cursor(tid_offsets_.begin(), tid_offsets_.end() - 1);
  tids_.resize(txn_items_.size());
  // Transactions in ascending order, so every list comes out ascending.
  for (std::uint32_t t = 0; t < n_transactions(); ++t)
    for (std::uint32_t s : items_of(t)) tids_[cursor[s]++] = t;
  update_weighted_length();
}

void TransactionIndex::update_weighted_length() {
  double occurrences = 0, weighted = 0;
  for (std::uint32_t t = 0; t < n_transactions(); ++t) {
    const double length = txn_offsets_[t + 1] - txn_offsets_[t];
    occurrences += length;
    weighted += length * length;
  }
  weighted_length_ = occurrences > 0 ? weighted / occurrences : 0.0;
}

void TransactionIndex::retain_items_reaching(std::uint32_t min_count) {
  const std::uint32_t n_slots = n_items();
  constexpr std::uint32_t kDropped = ~std::uint32_t{0};
  std::vector<std::uint32_t> new_slot(n_slots, kDropped);
  std::uint32_t kept = 0;
  for (std::uint32_t s = 0; s < n_slots; ++s)
    if (count(s) >= min_count) new_slot[s] = kept++;
  if (kept == n_slots) return;
  require_lists();

  // The kept lists move to the left in place (slot order is list order), so narrowing never
  // holds a second copy of the lists.
  std::vector<std::uint32_t> items, tid_offsets{0};
  items.reserve(kept);
  tid_offsets.reserve(kept + 1);
  std::size_t tids_kept = 0;
  for (std::uint32_t s = 0; s < n_slots; ++s) {
    if (new_slot[s] == kDropped) continue;
    items.push_back(items_[s]);
    const std::uint32_t begin = tid_offsets_[s], len = tid_offsets_[s + 1] - begin;
    if (tids_kept != begin)
      std::memmove(tids_.data() + tids_kept, tids_.data() + begin, std::size_t{len} * sizeof(std::uint32_t));
    tids_kept += len;
    tid_offsets.push_back(static_cast<std::uint32_t>(tids_kept));
  }
  tids_.resize(tids_kept);
  // Rows stay ascending: renumbering keeps the order of the slots that stay.
  txn_items_.resize(close_up_rows(
      txn_items_.data(), txn_offsets_.data(), n_transactions(), 0, tuning::kParallelReduceMinRows,
      [&](std::uint32_t s) { return new_slot[s] != kDropped; },
      [&](std::uint32_t s) { return new_slot[s]; }));
  items_ = std::move(items);
  tid_offsets_ = std::move(tid_offsets);
  update_weighted_length();
}

std::optional<std::uint32_t> TransactionIndex::slot_of(std::uint32_t item_id) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), item_id);
  if (it == items_.end() || *it != item_id) return std::nullopt;
  return static_cast<std::uint32_t>(it - items_.begin());
}

bool TransactionIndex::intersect_sc(std::span<const std::uint32_t> slots, std::uint32_t min_count,
                                    std::vector<std::uint32_t>& out) const {
  if (slots.empty()) return false;
  // Rarest first: the running intersection starts at the shortest list and only shrinks.
  // Stable, so equal counts keep the given order.
  std::vector<std::uint32_t> order(slots.begin(), slots.end());
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return count(a) < count(b); });
  const auto first = tids(order[0]);
  if (first.size() < min_count) return false;
  out.assign(first.begin(), first.end());
  std::vector<std::uint32_t> next;
  for (std::size_t k = 1; k < order.size(); ++k) {
    next.resize(out.size());
    next.resize(intersect_lists(out, tids(order[k]), next.data()));
    out.swap(next);
    if (out.size() < min_count) return false;
  }
  return true;
}

std::optional<std::uint32_t> TransactionIndex::count_support_sc(
    std::span<const std::uint32_t> item_ids, std::uint32_t min_count) const {
  std::vector<std::uint32_t> slots;
  slots.reserve(item_ids.size());
  for (std::uint32_t id : item_ids) {
    const auto slot = slot_of(id);
    if (!slot) return std::nullopt;
    slots.push_back(*slot);
  }
  std::vector<std::uint32_t> common;
  if (!intersect_sc(slots, min_count, common)) return std::nullopt;
  return static_cast<std::uint32_t>(common.size());
}

bool TransactionIndex::dense_enough_for_bitsets() const {
  // A bitset costs n_transactions bits, a list 32 bits per entry: at this density bitsets
  // take at most twice the memory of the lists. Measured at level 4 and 5: on T10I4D100K
  // (frequent items in about 1% of transactions) bitsets were 4x slower than lists; on
  // mushroom and chess (items in 10% to 90%) lists were 35x slower than bitsets; groceries at
  // count 10 (about 3%, below the 1/32 used before) took 16 ms on lists and 10 ms on bitsets.
  return static_cast<double>(tids_.size()) * 64.0 >=
         static_cast<double>(n_items()) * static_cast<double>(n_transactions());
}

void TransactionIndex::build_bitsets() {
  words_ = (static_cast<std::size_t>(n_transactions()) + 63) / 64;
  bitsets_.assign(words_ * n_items(), 0);
  for (std::uint32_t s = 0; s < n_items(); ++s) {
    std::uint64_t* bits = bitsets_.data() + s * words_;
    for (std::uint32_t t : tids(s)) bits[t >> 6] |= std::uint64_t{1} << (t & 63);
  }
  has_bitsets_ = true;
  release(tids_);
  release(txn_items_);
  release(txn_offsets_);
}

void TransactionIndex::lists_gone() {
  throw Panic("the classic index's lists were replaced by bitsets");
}

}  // namespace tallyfold
