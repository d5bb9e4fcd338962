#include "common/inverted_index.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <limits>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include <absl/container/flat_hash_map.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "common/input_rows.hpp"
#include "common/cancel.hpp"
#include "common/large_page_vector.hpp"
#include "common/panic.hpp"
#include "common/tuning.hpp"

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
    advise_large_pages(bytes_.get(), rows_ * sizeof(std::int64_t));
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
// hashing; rows of one transaction that are adjacent skip the lookup altogether. Returns
// whether the rows come grouped: every transaction's rows adjacent, so the numbers never
// decrease and the row order already is the transaction side of the index.
bool number_transactions(TxnRows& txns, std::vector<std::int64_t>& distinct) {
  const std::size_t rows = txns.size();
  distinct.clear();
  reserve_on_large_pages(distinct, rows / 4 + 1);
  if (rows == 0) return true;

  std::int64_t lo = txns.id(0), hi = lo;
  for (std::size_t r = 1; r < rows; ++r) {
    const std::int64_t id = txns.id(r);
    lo = std::min(lo, id);
    hi = std::max(hi, id);
  }
  const std::uint64_t span_minus_one =
      static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);

  // Each lookup of a new id is a miss in a table far larger than the cache; the lookups
  // themselves must run in row order (numbers go by first appearance), but the ids they will
  // need are known ahead, so a cursor a few transactions in front prefetches their slots.
  // It reads ids of rows past the current one, which no number has overwritten yet.
  constexpr int kLookupsAhead = 8;
  bool grouped = true;
  auto assign = [&](auto&& lookup_or_insert, auto&& prefetch) {
    std::size_t ahead = 0;
    std::int64_t ahead_id = txns.id(0);
    auto advance_ahead = [&] {
      while (++ahead < rows) {
        const std::int64_t id = txns.id(ahead);
        if (id != ahead_id) {
          ahead_id = id;
          prefetch(id);
          return;
        }
      }
      ahead = rows - 1;  // stays at the end: later calls find nothing more
    };
    for (int k = 0; k < kLookupsAhead; ++k) advance_ahead();
    std::int64_t previous_id = txns.id(0);
    std::uint32_t previous_txn = lookup_or_insert(previous_id);
    txns.set_number(0, previous_txn);
    for (std::size_t r = 1; r < rows; ++r) {
      throw_if_cancelled_every(r);
      const std::int64_t id = txns.id(r);
      if (id != previous_id) {
        advance_ahead();
        const std::uint32_t txn = lookup_or_insert(id);
        // A new transaction gets the next number; anything else is a return to an earlier one.
        grouped = grouped && txn == previous_txn + 1;
        previous_txn = txn;
        previous_id = id;
      }
      txns.set_number(r, previous_txn);
    }
  };

  if (span_minus_one < 2 * static_cast<std::uint64_t>(rows) + 64) {
    std::vector<std::uint32_t> table;
    reserve_on_large_pages(table, span_minus_one + 1);
    table.assign(span_minus_one + 1, kUnseen);
    auto slot_of = [&](std::int64_t id) -> std::uint32_t& {
      return table[static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo)];
    };
    assign(
        [&](std::int64_t id) {
          std::uint32_t& slot = slot_of(id);
          if (slot == kUnseen) {
            slot = static_cast<std::uint32_t>(distinct.size());
            distinct.push_back(id);
          }
          return slot;
        },
        [&](std::int64_t id) { __builtin_prefetch(&slot_of(id)); });
  } else {
    absl::flat_hash_map<std::int64_t, std::uint32_t> numbers;
    numbers.reserve(std::max<std::size_t>(16, rows / 4));
    assign(
        [&](std::int64_t id) {
          auto [it, inserted] =
              numbers.try_emplace(id, static_cast<std::uint32_t>(distinct.size()));
          if (inserted) distinct.push_back(id);
          return it->second;
        },
        [&](std::int64_t id) { numbers.prefetch(id); });
  }
  distinct.shrink_to_fit();
  txns.keep_numbers_only();
  return grouped;
}

// Gives the whole pages of a vector's unused capacity back to the system. shrink_to_fit would
// copy the kept part into a new buffer, holding both at once: at the size of the index that
// copy is the peak of the build. The vector keeps its capacity; the pages behind it are
// simply refilled with zeros should it ever grow into them.
template <class T>
void release_spare_capacity(std::vector<T>& values) {
  constexpr std::size_t kMinBytes = std::size_t{1} << 20;
  const std::size_t spare = (values.capacity() - values.size()) * sizeof(T);
  if (spare < kMinBytes) return;
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return;
  const auto unit = static_cast<std::uintptr_t>(page);
  const auto from = reinterpret_cast<std::uintptr_t>(values.data() + values.size());
  const auto to = reinterpret_cast<std::uintptr_t>(values.data() + values.capacity());
  const std::uintptr_t first = (from + unit - 1) / unit * unit, last = to / unit * unit;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
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
  const bool grouped = number_transactions(txn_of_row, index.distinct_txn_ids);
  const auto n_transactions = static_cast<std::uint32_t>(index.distinct_txn_ids.size());
  index.n_transactions = n_transactions;

  // The only read of item_ids, checked here in row order.
  ItemRows items = read_item_ids(item_ids, rows, n_items);
  std::vector<std::uint32_t> item_of_row = std::move(items.ids);
  std::uint32_t item_space = 0;
  index.numbering = ItemNumbering::number_items(item_of_row, items.end, &item_space);
  index.item_space = item_space;

  // Transaction side. Rows that come grouped by transaction (the usual layout) already are
  // it, in place; otherwise they are scattered by counting. Either way the per-row arrays are
  // gone before the item side is allocated.
  std::vector<std::uint32_t> txn_offsets;
  reserve_on_large_pages(txn_offsets, std::size_t{n_transactions} + 1);
  txn_offsets.assign(std::size_t{n_transactions} + 1, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    ++txn_offsets[txn_of_row.number(r) + 1];
  }
  for (std::uint32_t t = 0; t < n_transactions; ++t) txn_offsets[t + 1] += txn_offsets[t];
  std::vector<std::uint32_t> txn_side;
  if (grouped) {
    txn_side = std::move(item_of_row);
  } else {
    reserve_on_large_pages(txn_side, rows);
    txn_side.resize(rows);
    std::vector<std::uint32_t> cursor(txn_offsets.begin(), txn_offsets.end() - 1);
    for (std::size_t r = 0; r < rows; ++r) {
      throw_if_cancelled_every(r);
      txn_side[cursor[txn_of_row.number(r)]++] = item_of_row[r];
    }
    item_of_row = {};
  }
  txn_of_row.release();
  Csr by_txn = sort_dedup_csr(std::move(txn_side), std::move(txn_offsets), n_transactions);

  // Item side, from the de-duplicated transaction side walked in transaction order: its size
  // is exact and each item's segment comes out sorted and free of duplicates.
  std::vector<std::uint32_t> item_offsets(std::size_t{item_space} + 1, 0);
  for (std::uint32_t item : by_txn.values) ++item_offsets[item + 1];
  for (std::uint32_t i = 0; i < item_space; ++i) item_offsets[i + 1] += item_offsets[i];
  std::vector<std::uint32_t> item_side;
  reserve_on_large_pages(item_side, by_txn.values.size());
  item_side.resize(by_txn.values.size());
  {
    std::vector<std::uint32_t> cursor(item_offsets.begin(), item_offsets.end() - 1);
    for (std::uint32_t t = 0; t < n_transactions; ++t) {
      throw_if_cancelled_every(t);
      for (std::uint32_t p = by_txn.offsets[t]; p < by_txn.offsets[t + 1]; ++p)
        item_side[cursor[by_txn.values[p]]++] = t;
    }
  }
  index.txn_items = std::move(by_txn.values);
  index.txn_offsets = std::move(by_txn.offsets);
  index.item_txns = std::move(item_side);
  index.item_offsets = std::move(item_offsets);

  index.item_counts.resize(item_space);
  for (std::uint32_t i = 0; i < item_space; ++i)
    index.item_counts[i] = index.item_offsets[i + 1] - index.item_offsets[i];
  return index;
}

namespace {

// Sorts rows [first, last) of `values` in place and moves each row's distinct values to the
// front of its own segment; lens[r] receives the distinct count. Rows touch only their own
// segment, so ranges of rows run in parallel.
void sort_dedup_rows(std::vector<std::uint32_t>& values, const std::vector<std::uint32_t>& offsets,
                     std::size_t first, std::size_t last, std::uint32_t* lens) {
  for (std::size_t r = first; r < last; ++r) {
    throw_if_cancelled_every(r);
    auto begin = values.begin() + offsets[r], end = values.begin() + offsets[r + 1];
    // Segments often arrive sorted already (rows grouped by transaction), so test first.
    if (!std::is_sorted(begin, end)) std::sort(begin, end);
    lens[r] = static_cast<std::uint32_t>(std::unique(begin, end) - begin);
  }
}

}  // namespace

Csr sort_dedup_csr(std::vector<std::uint32_t> values, std::vector<std::uint32_t> offsets,
                   std::size_t rows) {
  if (offsets.size() < rows + 1) panic_range_end(rows + 1, offsets.size());
  // Bounds first, in row order, so a bad row is reported the same way whatever runs next.
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint32_t begin = offsets[r], end = offsets[r + 1];
    if (end > values.size()) panic_range_end(end, values.size());
    if (begin > end)
      throw Panic("slice index starts at " + std::to_string(begin) + " but ends at " +
                  std::to_string(end));
  }

  // Sorting is independent per row and runs on the pool for large inputs; the compaction
  // that follows is a sequential move, skipped for rows that have not shifted.
  std::vector<std::uint32_t> lens(rows);
  if (rows >= tuning::kParallelDedupMinRows) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows, 4096),
                      [&](const tbb::blocked_range<std::size_t>& range) {
                        throw_if_cancelled();
                        sort_dedup_rows(values, offsets, range.begin(), range.end(), lens.data());
                      });
    throw_if_cancelled();
  } else {
    sort_dedup_rows(values, offsets, 0, rows, lens.data());
  }

  // The offsets are rewritten in place: entry r + 1 is read (as the old end of row r) before
  // it is overwritten, and the old start of row r is carried in `begin`.
  std::size_t write = 0;
  std::uint32_t begin = offsets.empty() ? 0 : offsets[0];
  if (!offsets.empty()) offsets[0] = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    throw_if_cancelled_every(r);
    const std::uint32_t end = offsets[r + 1];
    if (write != begin) std::copy_n(values.begin() + begin, lens[r], values.begin() + write);
    write += lens[r];
    offsets[r + 1] = static_cast<std::uint32_t>(write);
    begin = end;
  }
  offsets.resize(rows + 1);
  values.resize(write);
  release_spare_capacity(values);
  return {std::move(values), std::move(offsets)};
}

}  // namespace tallyfold
