#include "classic/transaction_index.hpp"

#include <algorithm>
#include <numeric>

#include <absl/container/flat_hash_map.h>

#include "classic/tid_sets.hpp"
#include "common/input_rows.hpp"
#include "common/cancel.hpp"
#include "common/inverted_index.hpp"
#include "common/panic.hpp"
#include "common/weight_cap.hpp"

namespace tallyfold {

namespace {

// Rank of every row's key among the distinct keys, ascending with the key, and the distinct
// keys in that order. Keys spanning a small range (the usual 0..N-1 numbering) go through a
// direct table; others are numbered in a hash map and the distinct keys sorted afterwards.
template <class Key, class KeyOf>
std::vector<std::uint32_t> rank_rows(std::size_t rows, KeyOf key_of, std::vector<Key>& distinct) {
  std::vector<std::uint32_t> rank(rows);
  distinct.clear();
  if (rows == 0) return rank;
  Key lo = key_of(0), hi = lo;
  for (std::size_t r = 1; r < rows; ++r) {
    throw_if_cancelled_every(r);
    const Key key = key_of(r);
    lo = std::min(lo, key);
    hi = std::max(hi, key);
  }
  auto offset = [&](Key key) {
    return static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(lo);
  };
  const std::uint64_t span = offset(hi);

  if (span < 2 * static_cast<std::uint64_t>(rows) + 64) {
    std::vector<std::uint32_t> table(span + 1, 0);
    for (std::size_t r = 0; r < rows; ++r) table[offset(key_of(r))] = 1;
    std::uint32_t next = 0;
    for (std::uint64_t v = 0; v <= span; ++v) {
      if (table[v] == 0) continue;
      table[v] = next++;
      distinct.push_back(static_cast<Key>(static_cast<std::uint64_t>(lo) + v));
    }
    for (std::size_t r = 0; r < rows; ++r) rank[r] = table[offset(key_of(r))];
    return rank;
  }

  absl::flat_hash_map<Key, std::uint32_t> first_seen;
  std::vector<Key> seen;
  Key previous = key_of(0);
  std::uint32_t previous_number = 0;
  first_seen.emplace(previous, 0);
  seen.push_back(previous);
  for (std::size_t r = 1; r < rows; ++r) {
    throw_if_cancelled_every(r);
    const Key key = key_of(r);
    if (key != previous) {  // rows of one transaction usually come together
      auto [it, inserted] = first_seen.try_emplace(key, static_cast<std::uint32_t>(seen.size()));
      if (inserted) seen.push_back(key);
      previous = key;
      previous_number = it->second;
    }
    rank[r] = previous_number;
  }
  first_seen = {};
  std::vector<std::uint32_t> order(seen.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return seen[a] < seen[b]; });
  std::vector<std::uint32_t> rank_of_seen(seen.size());
  distinct.resize(seen.size());
  for (std::uint32_t pos = 0; pos < order.size(); ++pos) {
    rank_of_seen[order[pos]] = pos;
    distinct[pos] = seen[order[pos]];
  }
  for (std::uint32_t& r : rank) r = rank_of_seen[r];
  return rank;
}

}  // namespace

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
  // The one read of the caller's rows, into copies: ranking passes over each key twice, and
  // both passes must see the same values.
  TransactionIndex index;
  std::vector<std::uint32_t> txn_of_row;
  {
    const std::vector<std::int64_t> caller_txns = read_txn_ids(txn_ids);
    txn_of_row = rank_rows(rows, [&](std::size_t r) { return caller_txns[r]; }, index.caller_ids_);
  }
  ItemRows items = read_item_ids(item_ids, rows, check_below);
  std::vector<std::uint32_t> slot_of_row =
      rank_rows(rows, [&](std::size_t r) { return items.ids[r]; }, index.items_);
  items = {};
  const std::uint32_t n_txn = index.n_transactions();

  // Per transaction, its slots: counted, scattered, then sorted and de-duplicated.
  std::vector<std::uint32_t> offsets(n_txn + 1, 0);
  for (std::uint32_t t : txn_of_row) ++offsets[t + 1];
  for (std::uint32_t t = 0; t < n_txn; ++t) offsets[t + 1] += offsets[t];
  std::vector<std::uint32_t> cursor(offsets.begin(), offsets.end() - 1);
  std::vector<std::uint32_t> slots(rows);
  for (std::size_t r = 0; r < rows; ++r) slots[cursor[txn_of_row[r]]++] = slot_of_row[r];
  txn_of_row = {};
  slot_of_row = {};
  cursor = {};
  Csr by_txn = sort_dedup_csr(std::move(slots), std::move(offsets), n_txn);

  if (item_weights && max_items_per_txn) {
    // Weights by slot: slots keep the order of ids, so cap_by_weight's tie rule (ascending
    // position) still means ascending id.
    std::vector<double> slot_weights(index.items_.size(), 0.0);
    for (std::size_t s = 0; s < slot_weights.size(); ++s)
      if (index.items_[s] < item_weights->size()) slot_weights[s] = item_weights->load(index.items_[s]);
    std::uint32_t write = 0, begin = 0;
    for (std::uint32_t t = 0; t < n_txn; ++t) {
      const std::uint32_t end = by_txn.offsets[t + 1];
      std::uint32_t* row = by_txn.values.data() + begin;
      const auto kept = static_cast<std::uint32_t>(
          cap_by_weight(row, end - begin, slot_weights, *max_items_per_txn));
      if (write != begin) std::copy(row, row + kept, by_txn.values.data() + write);
      write += kept;
      by_txn.offsets[t + 1] = write;
      begin = end;
    }
    by_txn.values.resize(write);
  }
  index.txn_items_ = std::move(by_txn.values);
  index.txn_offsets_ = std::move(by_txn.offsets);
  index.build_vertical();
  // The cap can take an item out of every transaction; the index holds only items that occur.
  index.retain_items_reaching(1);
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

  std::vector<std::uint32_t> items, tid_offsets{0}, kept_tids;
  items.reserve(kept);
  tid_offsets.reserve(kept + 1);
  for (std::uint32_t s = 0; s < n_slots; ++s) {
    if (new_slot[s] == kDropped) continue;
    items.push_back(items_[s]);
    const auto list = tids(s);
    kept_tids.insert(kept_tids.end(), list.begin(), list.end());
    tid_offsets.push_back(static_cast<std::uint32_t>(kept_tids.size()));
  }
  // Rows stay ascending: renumbering keeps the order of the slots that stay.
  std::uint32_t write = 0, begin = 0;
  for (std::uint32_t t = 0; t < n_transactions(); ++t) {
    const std::uint32_t end = txn_offsets_[t + 1];
    for (std::uint32_t i = begin; i < end; ++i)
      if (new_slot[txn_items_[i]] != kDropped) txn_items_[write++] = new_slot[txn_items_[i]];
    txn_offsets_[t + 1] = write;
    begin = end;
  }
  txn_items_.resize(write);
  txn_items_.shrink_to_fit();
  items_ = std::move(items);
  tid_offsets_ = std::move(tid_offsets);
  tids_ = std::move(kept_tids);
  update_weighted_length();
  bitsets_ = {};
  words_ = 0;
  has_bitsets_ = false;
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
  // never take more memory than the lists. Measured at level 4 and 5: on T10I4D100K (frequent
  // items in about 1% of transactions) bitsets were 4x slower than lists; on mushroom and
  // chess (items in 10% to 90%) lists were 35x slower than bitsets.
  return static_cast<double>(tids_.size()) * 32.0 >=
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
}

}  // namespace tallyfold
