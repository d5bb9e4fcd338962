#pragma once
// Transactions cut down to the items that can still be part of a frequent itemset of the
// level, then (optionally) capped by weight. A transaction with fewer than k such items is
// dropped: it cannot hold a k-itemset.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/itemset_table.hpp"

namespace tallyfold {

struct ReducedTransactions {
  // Transaction t's items are items[begin[t], begin[t + 1]) (none for a dropped one).
  std::vector<std::uint32_t> begin;  // transactions + 1 entries
  std::vector<std::uint32_t> items;  // ascending within each transaction
  std::vector<std::uint32_t> kept;   // indices of the transactions that were not dropped
  std::uint32_t item_space = 0;      // every item id is below this
  // Set instead of the three vectors above when the cut would keep nearly every item (see
  // reduce_transactions): transactions are then the index's own, whole.
  const InvertedIndex* whole = nullptr;

  std::span<const std::uint32_t> items_of(std::uint32_t t) const {
    if (whole != nullptr) return whole->items_of(t);
    return {items.data() + begin[t], items.data() + begin[t + 1]};
  }

  // Calls visit(items) for each listed transaction (see scan_indexed).
  template <class Tids, class Visit>
  void scan(const Tids& tids, Visit&& visit) const {
    scan_indexed(tids, [&](std::uint32_t, std::span<const std::uint32_t> items) { visit(items); });
  }

  // Calls visit(t, items) for each listed transaction t, prefetching a few ahead: the listed
  // transactions lie scattered over the whole buffer.
  template <class Tids, class Visit>
  void scan_indexed(const Tids& tids, Visit&& visit) const {
    constexpr std::size_t kAhead = 8;
    const std::size_t n = tids.size();
    const std::uint32_t* starts = whole != nullptr ? whole->txn_offsets.data() : begin.data();
    const std::uint32_t* values = whole != nullptr ? whole->txn_items.data() : items.data();
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 2 * kAhead < n) __builtin_prefetch(starts + tids[i + 2 * kAhead]);
      if (i + kAhead < n) __builtin_prefetch(values + starts[tids[i + kAhead]]);
      visit(tids[i], items_of(tids[i]));
    }
  }
};

// The items of a transaction from `lowest` on, for callers that count by a position table
// in which items below `lowest` hold 0: a short row is returned whole, since a binary search
// over a few items costs more in mispredicted branches than touching the items it skips.
inline std::span<const std::uint32_t> items_from(std::span<const std::uint32_t> items,
                                                 std::uint32_t lowest) {
  constexpr std::size_t kWholeRow = 16;
  if (items.size() <= kWholeRow) return items;
  return {std::lower_bound(items.begin(), items.end(), lowest), items.end()};
}

// The slots of the items of a transaction from `lowest` on that `position` marks (slot
// = position, 0 for unmarked items), written to `slots`; returns how many. Slots are written unconditionally and
// kept by the count, so the loop neither branches on the items nor adds into one cell for
// every item that is no chosen sibling (a chain of dependent adds through memory).
inline std::size_t chosen_slots(std::span<const std::uint32_t> items, std::uint32_t lowest,
                                const std::uint32_t* position, std::uint32_t* slots) {
  std::size_t n = 0;
  for (const std::uint32_t item : items_from(items, lowest)) {
    const std::uint32_t p = position[item];
    slots[n] = p;
    n += p != 0;
  }
  return n;
}

// Where a whole group of siblings is marked but only those from slot `first` on are wanted
// (a short row is read whole, so lower ones come too): adds one to the cell of each wanted
// slot of `slots[0..n)` and sets its bit in `met`, without a branch per slot. With `only`,
// a slot is wanted only if its bit is set there too.
inline void count_met_slots(const std::uint32_t* slots, std::size_t n, std::uint32_t first,
                            const std::uint64_t* only, std::uint32_t* cells,
                            std::uint64_t* met) {
  for (std::size_t q = 0; q < n; ++q) {
    const std::uint32_t p = slots[q];
    std::uint64_t wanted = p >= first;
    if (only != nullptr) wanted &= only[p >> 6] >> (p & 63);
    cells[p] += static_cast<std::uint32_t>(wanted);
    met[p >> 6] |= wanted << (p & 63);
  }
}

// Calls take(slot) for each slot from `first` on whose bit is set in met[0..words),
// ascending, clearing the bits: the slots count_met_slots met, without reading the others.
template <class Take>
void take_met_slots(std::uint64_t* met, std::size_t words, std::uint32_t first, Take&& take) {
  for (std::size_t w = first >> 6; w < words; ++w)
    for (std::uint64_t bits = std::exchange(met[w], 0); bits != 0; bits &= bits - 1)
      take(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
}

// Flags of the items that occur in some itemset of `frequent` (ids outside 0..n_items-1,
// which no transaction holds, are ignored).
std::vector<std::uint8_t> frequent_item_flags(const ItemsetTable& frequent, std::uint32_t n_items);

// The same cut made in the index itself, for a pipeline that reads no other item of a
// transaction again (the item side and the counts are untouched): each transaction keeps its
// flagged items, or none when fewer than `k`. Costs no memory, and later levels' cuts or
// whole reads see only these items, unless the cut would keep at least
// tuning::kUncutIndexShare of the entries: the index is then left as it is, and only readers
// that skip unflagged items may read its rows whole.
void cut_index_transactions(InvertedIndex& index, const std::vector<std::uint8_t>& item_flags,
                            std::size_t k);

// Keeps the flagged items of each transaction, drops transactions with fewer than `k` of
// them, then applies the cap by weight when one is given (a capped list may end up shorter
// than k). With `may_stay_whole` (for readers that look up transactions by index and skip
// items they do not mark, and need no `kept`), no cap, and at least
// tuning::kWholeTransactionsShare of the index's items kept, the transactions stay the
// index's own: the copy would cost about as much memory as the index's side and save little
// scanning.
ReducedTransactions reduce_transactions(const InvertedIndex& index,
                                        const std::vector<std::uint8_t>& item_flags, std::size_t k,
                                        std::span<const double> weights,
                                        std::optional<std::uint64_t> cap,
                                        bool may_stay_whole = false);

}  // namespace tallyfold
