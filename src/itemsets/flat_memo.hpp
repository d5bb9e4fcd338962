#pragma once
// A level's transaction sets back to back in one buffer, for the memo pipelines on sparse
// data. A level may hold thousands of small sets: one inline 32-entry list each cost 136
// bytes even for ten transactions, and a heap bitmap each cost an allocation. Here a set
// costs its own 16-bit units and one offset.
//
// A set is stored as the gaps between its ascending transactions, one unit each (a gap of
// 0xFFFF or more takes three: 0xFFFF, then its high and low halves), or (when adaptive) as a
// bitset over all transactions once that is no larger: a bitset takes exactly
// `bitset_units` units and a list is kept only while shorter, so the stored size tells the
// two apart. Gaps halve what plain 32-bit lists took (on T10I4D100K at count 50, level 3's
// sets: 7 MiB as lists). A row that nothing will read (the last of its sibling group) keeps
// no set.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/itemset_table.hpp"
#include "common/uninit_vector.hpp"
#include "itemsets/reduced_transactions.hpp"

namespace tallyfold {

class FlatSets {
 public:
  FlatSets() = default;
  FlatSets(std::uint32_t n_transactions, bool adaptive);

  std::size_t size() const { return offsets_.size() - 1; }
  std::uint32_t n_transactions() const { return n_transactions_; }
  bool adaptive() const { return adaptive_; }

  // Appends the next row's set (ascending transactions), or no set.
  void append(std::span<const std::uint32_t> tids);
  void append_none() { offsets_.push_back(units_.size()); }

  // Row r's transactions, ascending, decoded into `buffer`; empty for no set.
  std::span<const std::uint32_t> walk(std::size_t r, std::vector<std::uint32_t>& buffer) const;

 private:
  std::uint32_t n_transactions_ = 0;
  std::size_t bitset_units_ = 0;
  bool adaptive_ = false;
  std::vector<std::uint64_t> offsets_{0};  // rows + 1, into units_
  UninitVector<std::uint16_t> units_;
};

// A level of a memo pipeline on sparse data: its itemsets and, row for row, their sets, kept
// in the parts the pool's ranges made them in (joining them would copy the level once more:
// on T10I4D100K at count 50, 7 MiB for level 3).
struct FlatMemo {
  ItemsetTable itemsets;
  std::uint32_t n_transactions = 0;
  bool adaptive = false;
  std::vector<FlatSets> parts;         // none empty
  std::vector<std::size_t> first_row;  // of each part

  // Row r's transactions, ascending (see FlatSets::walk).
  std::span<const std::uint32_t> walk(std::size_t r, std::vector<std::uint32_t>& buffer) const {
    const std::size_t p =
        static_cast<std::size_t>(std::upper_bound(first_row.begin(), first_row.end(), r) -
                                 first_row.begin()) - 1;
    return parts[p].walk(r - first_row[p], buffer);
  }
};

// Level 2 of a memo pipeline on sparse data: the frequent pairs, whose sets are made group by
// group as the next level reads them (see PairGroupSets), never all held: every pair of a
// group shares its smaller item, whose transactions the index lists, so one scan of them
// gives the whole group's sets. On T10I4D100K at count 50 the pairs' sets would take 10 MiB,
// more than the index.
struct PairMemo {
  ItemsetTable itemsets;
  const InvertedIndex* index;
  bool adaptive;  // the kind of sets the levels above keep
};

// One worker's sets of a group of pairs. A group whose pairs hold at most
// tuning::listed_words transactions in all is projected: the prefix item's transactions that
// hold two or more siblings are copied, cut to those siblings, into rows of the worker's own,
// and each pair's set lists rows; walking a set then reads short rows that lie together
// instead of whole transactions scattered over the data. A larger group is listed a run of
// siblings at a time (a run's lists within that budget, or one sibling's if more) as
// transactions, so a very common smaller item does not hold all its sets at once. A run is
// listed by one scan of the prefix item's transactions, or, where its siblings' own
// transactions are fewer than the items that scan would read (a common item with rare
// siblings: retail's item 39 is in 50,675 baskets), by keeping each sibling's transactions
// that are the prefix item's, looked up in a bitset of them: the same lists either way.
class PairGroupSets {
 public:
  explicit PairGroupSets(std::uint32_t item_space);
  // Starts the group of pairs (prefix, siblings[i]); `counts[i]` is pair i's count. The last
  // sibling's set is never made: nothing reads it. The spans must outlive the group.
  // Transactions come from the index, their items from `reduced` (the level's cut lists).
  void begin_group(const InvertedIndex& index, const ReducedTransactions& reduced,
                   std::uint32_t prefix,
                   std::span<const std::uint32_t> siblings, std::span<const std::uint32_t> counts);
  // Sibling i's set, ascending, valid until the next call: rows of the projection, or
  // transactions. Runs are listed from the prefix item's transactions, so siblings asked for
  // in ascending order cost one scan a run.
  std::span<const std::uint32_t> set(std::size_t i);

  bool projected() const { return projected_; }
  // A projected row's transaction and its siblings, ascending.
  std::uint32_t txn(std::uint32_t row) const { return row_txn_[row]; }
  std::span<const std::uint32_t> items(std::uint32_t row) const {
    return {row_items_.data() + row_end_[row], row_items_.data() + row_end_[row + 1]};
  }

 private:
  void make_run(std::size_t from);
  void list_run_by_scan(std::size_t spare);
  void list_run_by_siblings();
  void clear_prefix_bits();
  void project();

  const InvertedIndex* index_ = nullptr;
  const ReducedTransactions* reduced_ = nullptr;
  std::uint32_t prefix_ = 0;
  std::span<const std::uint32_t> siblings_, counts_;
  bool projected_ = false;
  std::size_t run_begin_ = 0, run_end_ = 0;  // siblings whose sets are listed now
  std::vector<std::uint32_t> slot_;          // by item: index in the run + 1, 0 for others
  std::vector<std::size_t> begin_, end_;     // by index in the run, into tids_
  std::vector<std::size_t> cursor_;          // by slot while a run is listed; slot 0 a sink
  UninitVector<std::uint32_t> tids_;
  std::vector<std::uint32_t> row_txn_, row_end_{0}, row_items_;  // the projection
  // The prefix item's transactions that hold a sibling, as bits by transaction, made by the
  // first run listed by siblings and cleared with the group.
  std::vector<std::uint64_t> prefix_bits_;
  bool prefix_bits_set_ = false;
};

inline bool level_empty(const FlatMemo& memo) { return memo.itemsets.empty(); }
inline bool level_empty(const PairMemo& memo) { return memo.itemsets.empty(); }
inline ItemsetTable take_level(FlatMemo& memo) { return std::move(memo.itemsets); }
inline ItemsetTable take_level(PairMemo& memo) { return std::move(memo.itemsets); }

}  // namespace tallyfold
