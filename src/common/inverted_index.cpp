#include "common/inverted_index.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <limits>
#include <string>

#include <absl/container/flat_hash_map.h>

#include "common/input_rows.hpp"
#include "common/cancel.hpp"
#include "common/panic.hpp"

namespace tallyfold {

namespace {

constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();

// The caller's transaction ids, loaded once, then overwritten row by row with each row's
// dense transaction number, so the numbering needs no second buffer of one entry per row.
// Row r's id takes bytes [8r, 8r + 8) and its number bytes [4r, 4r + 4): written in row order
// after row r's id is read, a number only covers ids that have been read already. Once every
// number is written the buffer is cut to its front half in place (realloc), keeping the
// index build at the memory of the per-row numbers the caller's ids turned into.
class TxnRows {
 public:
  explicit TxnRows(CallerArray<std::int64_t> txn_ids) : rows_(txn_ids.size()) {
    check_row_limit(rows_);
    if (rows_ == 0) return;
    bytes_.reset(static_cast<unsigned char*>(std::malloc(rows_ * sizeof(std::int64_t))));
    if (!bytes_) throw std::bad_alloc();
    for (std::size_t r = 0; r < rows_; ++r) {
      const std::int64_t id = txn_ids.load(r);
      std::memcpy(bytes_.get() + r * sizeof(std::int64_t), &id, sizeof id);
    }
  }

  std::size_t size() const { return rows_; }

  std::int64_t id(std::size_t r) const {
    std::int64_t id;
    std::memcpy(&id, bytes_.get() + r * sizeof id, sizeof id);
    return id;
  }
  void set_number(std::size_t r, std::uint32_t number) {
    std::memcpy(bytes_.get() + r * sizeof number, &number, sizeof number);
  }
  std::uint32_t number(std::size_t r) const {
    std::uint32_t number;
    std::memcpy(&number, bytes_.get() + r * sizeof number, sizeof number);
    return number;
  }

  // After the last set_number: only numbers are read from here on.
  void keep_numbers_only() {
    if (!bytes_) return;
    // Shrinking never needs new memory; should realloc still refuse, the buffer stays whole.
    if (void* kept = std::realloc(bytes_.get(), rows_ * sizeof(std::uint32_t))) {
      bytes_.release();
      bytes_.reset(static_cast<unsigned char*>(kept));
    }
  }

  void release() { bytes_.reset(); }

 private:
  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::size_t rows_;
  std::unique_ptr<unsigned char, Free> bytes_;
};

// Numbers every row's transaction densely, in order of first appearance of its caller id.
// Ids that span a small range (the usual 0..N-1 numbering) use a direct table instead of
// hashing; rows of one transaction that are adjacent skip the lookup altogether.
void number_transactions(TxnRows& txns, std::vector<std::int64_t>& distinct) {
  const std::size_t rows = txns.size();
  distinct.clear();
  distinct.reserve(rows / 4 + 1);
  if (rows == 0) return;

  std::int64_t lo = txns.id(0), hi = lo;
  for (std::size_t r = 1; r < rows; ++r) {
    const std::int64_t id = txns.id(r);
    lo = std::min(lo, id);
    hi = std::max(hi, id);
  }
  const std::uint64_t span_minus_one =
      static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);

  auto assign = [&](auto&& lookup_or_insert) {
    std::int64_t previous_id = txns.id(0);
    std::uint32_t previous_txn = lookup_or_insert(previous_id);
    txns.set_number(0, previous_txn);
    for (std::size_t r = 1; r < rows; ++r) {
      throw_if_cancelled_every(r);
      const std::int64_t id = txns.id(r);
      if (id != previous_id) {
        previous_txn = lookup_or_insert(id);
        previous_id = id;
      }
      txns.set_number(r, previous_txn);
    }
  };

  if (span_minus_one < 2 * static_cast<std::uint64_t>(rows) + 64) {
    std::vector<std::uint32_t> table(span_minus_one + 1, kUnseen);
    assign([&](std::int64_t id) {
      std::uint32_t& slot = table[static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo)];
      if (slot == kUnseen) {
        slot = static_cast<std::uint32_t>(distinct.size());
        distinct.push_back(id);
      }
      return slot;
    });
  } else {
    absl::flat_hash_map<std::int64_t, std::uint32_t> numbers;
    numbers.reserve(std::max<std::size_t>(16, rows / 4));
    assign([&](std::int64_t id) {
      auto [it, inserted] = numbers.try_emplace(id, static_cast<std::uint32_t>(distinct.size()));
      if (inserted) distinct.push_back(id);
      return it->second;
    });
  }
  distinct.shrink_to_fit();
  txns.keep_numbers_only();
}

std::vector<std::uint32_t> prefix_offsets(const std::vector<std::uint32_t>& counts) {
  std::vector<std::uint32_t> offsets(counts.size() + 1);
  offsets[0] = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) offsets[i + 1] = offsets[i] + counts[i];
  return offsets;
}

}  // namespace

void check_row_limit(std::uint64_t rows) {
  constexpr std::uint64_t kMaxRows = std::numeric_limits<std::uint32_t>::max();
  if (rows > kMaxRows)
    throw LimitError("txn_ids has " + std::to_string(rows) +
                     " rows, but at most 4294967295 rows (and so at most 4294967295 distinct "
                     "transaction ids) are supported: offsets are 32-bit");
}

InvertedIndex build_inverted_index(CallerArray<std::int64_t> txn_ids,
                                   CallerArray<std::int32_t> item_ids, std::uint32_t n_items) {
  InvertedIndex index;
  index.n_items = n_items;
  // The only read of txn_ids.
  TxnRows txn_of_row(txn_ids);
  const std::size_t rows = txn_of_row.size();
  number_transactions(txn_of_row, index.distinct_txn_ids);
  const auto n_transactions = static_cast<std::uint32_t>(index.distinct_txn_ids.size());
  index.n_transactions = n_transactions;

  // The only read of item_ids, checked here in row order.
  ItemRows items = read_item_ids(item_ids, rows, n_items);
  std::vector<std::uint32_t> item_of_row = std::move(items.ids);
  std::uint32_t item_space = 0;
  index.numbering = ItemNumbering::number_items(item_of_row, items.end, &item_space);
  index.item_space = item_space;

  // Counting pass.
  std::vector<std::uint32_t> txn_rows(n_transactions, 0);
  std::vector<std::uint32_t> item_rows(item_space, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    ++txn_rows[txn_of_row.number(r)];
    ++item_rows[item_of_row[r]];
  }

  std::vector<std::uint32_t> txn_offsets = prefix_offsets(txn_rows);
  std::vector<std::uint32_t> item_offsets = prefix_offsets(item_rows);

  // Scatter passes; the row counters become fill cursors. The transaction side comes from
  // the rows; the item side from the transaction side, walked in transaction order, so the
  // per-row arrays are gone before it is allocated and each item's segment comes out sorted.
  std::vector<std::uint32_t> txn_side(rows);
  std::copy(txn_offsets.begin(), txn_offsets.end() - 1, txn_rows.begin());
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    txn_side[txn_rows[txn_of_row.number(r)]++] = item_of_row[r];
  }
  txn_of_row.release();
  item_of_row = {};
  txn_rows = {};

  std::vector<std::uint32_t> item_side(rows);
  std::copy(item_offsets.begin(), item_offsets.end() - 1, item_rows.begin());
  for (std::uint32_t t = 0; t < n_transactions; ++t) {
    throw_if_cancelled_every(t);
    for (std::uint32_t p = txn_offsets[t]; p < txn_offsets[t + 1]; ++p)
      item_side[item_rows[txn_side[p]]++] = t;
  }
  item_rows = {};

  Csr by_txn = sort_dedup_csr(std::move(txn_side), std::move(txn_offsets), n_transactions);
  Csr by_item = sort_dedup_csr(std::move(item_side), std::move(item_offsets), item_space);
  index.txn_items = std::move(by_txn.values);
  index.txn_offsets = std::move(by_txn.offsets);
  index.item_txns = std::move(by_item.values);
  index.item_offsets = std::move(by_item.offsets);

  index.item_counts.resize(item_space);
  for (std::uint32_t i = 0; i < item_space; ++i)
    index.item_counts[i] = index.item_offsets[i + 1] - index.item_offsets[i];
  return index;
}

Csr sort_dedup_csr(std::vector<std::uint32_t> values, std::vector<std::uint32_t> offsets,
                   std::size_t rows) {
  if (offsets.size() < rows + 1) panic_range_end(rows + 1, offsets.size());
  std::size_t write = 0;
  std::uint32_t begin = offsets.empty() ? 0 : offsets[0];
  std::vector<std::uint32_t> new_offsets(rows + 1);
  new_offsets[0] = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    const std::uint32_t end = offsets[r + 1];
    if (end > values.size()) panic_range_end(end, values.size());
    if (begin > end)
      throw Panic("slice index starts at " + std::to_string(begin) + " but ends at " +
                  std::to_string(end));
    auto first = values.begin() + begin, last = values.begin() + end;
    // Segments usually arrive sorted already (rows grouped by transaction), so test first.
    if (!std::is_sorted(first, last)) std::sort(first, last);
    if (first != last) {
      values[write++] = *first;
      for (auto it = first + 1; it != last; ++it)
        if (*it != values[write - 1]) values[write++] = *it;
    }
    new_offsets[r + 1] = static_cast<std::uint32_t>(write);
    begin = end;
  }
  values.resize(write);
  values.shrink_to_fit();
  return {std::move(values), std::move(new_offsets)};
}

}  // namespace tallyfold
