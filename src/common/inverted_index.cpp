#include "common/inverted_index.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include <absl/container/flat_hash_map.h>

#include "common/cancel.hpp"
#include "common/panic.hpp"

namespace tallyfold {

namespace {

constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();

// Dense transaction number of every row, in order of first appearance of its caller id.
// Ids that span a small range (the usual 0..N-1 numbering) use a direct table instead of
// hashing; rows of one transaction that are adjacent skip the lookup altogether.
std::vector<std::uint32_t> renumber_transactions(std::span<const std::int64_t> txn_ids,
                                                 std::vector<std::int64_t>& distinct) {
  const std::size_t rows = txn_ids.size();
  std::vector<std::uint32_t> txn_of_row(rows);
  distinct.clear();
  distinct.reserve(rows / 4 + 1);
  if (rows == 0) return txn_of_row;

  auto [lo_it, hi_it] = std::minmax_element(txn_ids.begin(), txn_ids.end());
  const std::uint64_t span_minus_one =
      static_cast<std::uint64_t>(*hi_it) - static_cast<std::uint64_t>(*lo_it);
  const std::int64_t lo = *lo_it;

  auto assign = [&](auto&& lookup_or_insert) {
    std::int64_t previous_id = txn_ids[0];
    std::uint32_t previous_txn = lookup_or_insert(previous_id);
    txn_of_row[0] = previous_txn;
    for (std::size_t r = 1; r < rows; ++r) {
      throw_if_cancelled_every(r);
      const std::int64_t id = txn_ids[r];
      if (id != previous_id) {
        previous_txn = lookup_or_insert(id);
        previous_id = id;
      }
      txn_of_row[r] = previous_txn;
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
  return txn_of_row;
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

InvertedIndex build_inverted_index(std::span<const std::int64_t> txn_ids,
                                   std::span<const std::int32_t> item_ids, std::uint32_t n_items) {
  const std::size_t rows = txn_ids.size();
  check_row_limit(rows);

  InvertedIndex index;
  index.n_items = n_items;
  std::vector<std::uint32_t> txn_of_row = renumber_transactions(txn_ids, index.distinct_txn_ids);
  const auto n_transactions = static_cast<std::uint32_t>(index.distinct_txn_ids.size());
  index.n_transactions = n_transactions;

  // Validation pass: the one place where item ids are checked, in row order.
  std::uint32_t item_space = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    if (r >= item_ids.size()) panic_index_out_of_bounds(item_ids.size(), r);
    const auto widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(item_ids[r]));
    if (widened >= n_items) panic_index_out_of_bounds(n_items, widened);
    item_space = std::max(item_space, static_cast<std::uint32_t>(widened) + 1);
  }
  index.item_space = item_space;

  // Counting pass.
  std::vector<std::uint32_t> txn_rows(n_transactions, 0);
  std::vector<std::uint32_t> item_rows(item_space, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    ++txn_rows[txn_of_row[r]];
    ++item_rows[static_cast<std::uint32_t>(item_ids[r])];
  }

  std::vector<std::uint32_t> txn_offsets = prefix_offsets(txn_rows);
  std::vector<std::uint32_t> item_offsets = prefix_offsets(item_rows);

  // Scatter pass: the row counters become fill cursors.
  std::vector<std::uint32_t> txn_side(rows), item_side(rows);
  std::copy(txn_offsets.begin(), txn_offsets.end() - 1, txn_rows.begin());
  std::copy(item_offsets.begin(), item_offsets.end() - 1, item_rows.begin());
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    const std::uint32_t t = txn_of_row[r];
    const auto i = static_cast<std::uint32_t>(item_ids[r]);
    txn_side[txn_rows[t]++] = i;
    item_side[item_rows[i]++] = t;
  }
  txn_of_row = {};

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
