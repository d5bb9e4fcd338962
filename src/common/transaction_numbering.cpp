#include "common/transaction_numbering.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include <absl/container/flat_hash_map.h>

#include "common/cancel.hpp"
#include "common/hash_growth.hpp"
#include "common/inverted_index.hpp"
#include "common/large_page_vector.hpp"
#include "common/parallel.hpp"
#include "common/spare_capacity.hpp"
#include "common/tuning.hpp"
#include "common/txn_id_scan.hpp"

namespace tallyfold {

RowNumbers::RowNumbers(std::size_t rows) : rows_(rows) {
  if (rows == 0) return;
  // Room for a row more: a scan keeps a run (12 bytes) in the stretch of each chunk of rows,
  // and the last chunk may be a single row.
  const std::size_t bytes = (rows + 1) * sizeof(std::int64_t);
  bytes_.reset(static_cast<unsigned char*>(std::malloc(bytes)));
  if (!bytes_) throw std::bad_alloc();
  advise_large_pages(bytes_.get(), bytes);
}

void RowNumbers::keep_numbers_only() {
  if (!bytes_) return;
  // Shrinking never needs new memory; should realloc still refuse, the buffer stays whole.
  if (void* kept = std::realloc(bytes_.get(), rows_ * sizeof(std::uint32_t))) {
    bytes_.release();
    bytes_.reset(static_cast<unsigned char*>(kept));
  }
}

namespace {

constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();

// Numbers of caller ids in a table indexed by id - lo, for ids spanning a small range (the
// usual 0..N-1 numbering).
class DirectNumbers {
 public:
  DirectNumbers(std::int64_t lo, std::uint64_t span) : lo_(lo) {
    reserve_on_large_pages(table_, span);
    table_.assign(span, kUnseen);
  }
  // The number of `id`, or `next` for an id not seen before (then `*added` is set).
  std::uint32_t find_or_add(std::int64_t id, std::uint32_t next, bool* added) {
    std::uint32_t& slot = table_[slot_of(id)];
    *added = slot == kUnseen;
    if (*added) slot = next;
    return slot;
  }
  void prefetch(std::int64_t id) const { __builtin_prefetch(table_.data() + slot_of(id)); }

 private:
  std::uint64_t slot_of(std::int64_t id) const {
    return static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo_);
  }
  std::int64_t lo_;
  std::vector<std::uint32_t> table_;
};

// The same for ids spread over a wide range.
class HashedNumbers {
 public:
  // Grown only through reserve_safely, so a failed allocation raises (see hash_growth.hpp).
  explicit HashedNumbers(std::size_t expected) {
    reserve_safely(numbers_, std::max<std::size_t>(16, expected));
  }
  std::uint32_t find_or_add(std::int64_t id, std::uint32_t next, bool* added) {
    make_room_for_one(numbers_);
    auto [it, inserted] = numbers_.try_emplace(id, next);
    *added = inserted;
    return it->second;
  }
  void prefetch(std::int64_t id) const { numbers_.prefetch(id); }

 private:
  absl::flat_hash_map<std::int64_t, std::uint32_t> numbers_;
};

// Calls `use(numbers)` with the table that suits ids in [lo, hi] of which about `lookups`
// will be looked up: a direct table while it costs at most a few words per lookup, else a
// hash table sized for `expected` ids.
template <class Use>
void with_id_numbers(std::int64_t lo, std::int64_t hi, std::size_t lookups, std::size_t expected,
                     Use&& use) {
  const std::uint64_t span_minus_one =
      static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  if (span_minus_one < 2 * static_cast<std::uint64_t>(lookups) + 64) {
    DirectNumbers numbers(lo, span_minus_one + 1);
    use(numbers);
  } else {
    HashedNumbers numbers(expected);
    use(numbers);
  }
}

// Writes the first row of every run of equal ids (a run starts at row 0 and wherever the id
// changes) to `starts[run]`, and with `ids` its id to `ids[run]`. `first_run[c]` is the number
// of runs before chunk c.
void collect_runs(const RowNumbers& rows, const std::vector<IndexRange>& chunks,
                  const std::vector<std::size_t>& first_run, std::uint32_t* starts,
                  std::int64_t* ids) {
  for_each_range(chunks, [&](std::size_t c, IndexRange range) {
    const RowNumbers::Ids in = rows.ids();
    std::size_t run = first_run[c];
    std::int64_t previous = range.begin == 0 ? 0 : in.id(range.begin - 1);
    for_each_step(range.begin, range.end, [&](std::size_t r) {
      const std::int64_t id = in.id(r);
      if (r == 0 || id != previous) {
        starts[run] = static_cast<std::uint32_t>(r);
        if (ids != nullptr) ids[run] = id;
        ++run;
      }
      previous = id;
    });
  });
}

// The same from chunks in run form. A run that goes on from the chunk before is written by
// the chunk it starts in.
void collect_chunk_runs(const std::vector<ChunkIds>& chunks, const std::vector<IndexRange>& ranges,
                        const std::vector<std::size_t>& first_run, std::uint32_t* starts,
                        std::int64_t* ids) {
  for_each_range(ranges, [&](std::size_t c, IndexRange) {
    const ChunkIds& chunk = chunks[c];
    const std::size_t goes_on = c > 0 && chunk.first == chunks[c - 1].last ? 1 : 0;
    std::size_t run = first_run[c];
    for (std::size_t j = goes_on; j <= chunk.inner_starts; ++j, ++run) {
      starts[run] = chunk.run_start(j);
      ids[run] = chunk.run_ids[j];
    }
  });
}

// Whether `ids` are pairwise distinct, decided on the pool: every id is entered into one
// table shared by the threads (a byte per id in [lo, hi] when that range is small, else an
// open-addressing table) by an atomic exchange or compare-and-swap, and an id that finds
// itself already entered is a repeat. Which thread enters an id first does not change the
// answer. Returns nullopt when no value is left to mark a free slot (ids spanning the whole
// 64-bit range); the caller then decides sequentially.
std::optional<bool> ids_distinct(const UninitVector<std::int64_t>& ids, std::int64_t lo,
                                 std::int64_t hi) {
  const std::size_t n = ids.size();
  const std::vector<IndexRange> chunks =
      pass_chunks(n, tuning::kParallelIdLookupMin, tuning::kParallelIdLookupMin / 4);
  std::atomic<bool> repeat{false};
  constexpr std::size_t kAhead = 8;  // table slots are cache misses: fetch a few ids ahead
  const std::uint64_t span_minus_one =
      static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  if (span_minus_one < 8 * static_cast<std::uint64_t>(n) + 64) {
    std::vector<std::uint8_t> seen(span_minus_one + 1, 0);
    auto slot = [&](std::int64_t id) {
      return static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo);
    };
    for_each_range(chunks, [&](std::size_t, IndexRange range) {
      for (std::size_t k = range.begin; k < range.end; ++k) {
        if ((k & 0xFFF) == 0 && repeat.load(std::memory_order_relaxed)) return;
        if (k + kAhead < range.end) __builtin_prefetch(seen.data() + slot(ids[k + kAhead]));
        if (std::atomic_ref<std::uint8_t>(seen[slot(ids[k])])
                .exchange(1, std::memory_order_relaxed) != 0) {
          repeat.store(true, std::memory_order_relaxed);
          return;
        }
      }
    });
    return !repeat.load();
  }

  std::int64_t empty;
  if (lo != std::numeric_limits<std::int64_t>::min())
    empty = std::numeric_limits<std::int64_t>::min();
  else if (hi != std::numeric_limits<std::int64_t>::max())
    empty = std::numeric_limits<std::int64_t>::max();
  else
    return std::nullopt;
  // At most half full: probes stay short.
  const std::size_t capacity = std::bit_ceil(2 * n);
  const std::size_t mask = capacity - 1;
  const int shift = 64 - std::countr_zero(capacity);
  auto slot = [&](std::int64_t id) -> std::size_t {
    // The finaliser of splitmix64: ids with any regular spacing still spread evenly.
    auto x = static_cast<std::uint64_t>(id);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return shift >= 64 ? 0 : static_cast<std::size_t>(x >> shift);
  };
  std::unique_ptr<std::int64_t[]> table = std::make_unique_for_overwrite<std::int64_t[]>(capacity);
  for_each_range(pass_chunks(capacity, tuning::kParallelIndexMinRows, tuning::kIndexChunkMinRows),
                 [&](std::size_t, IndexRange range) {
                   std::fill(table.get() + range.begin, table.get() + range.end, empty);
                 });
  for_each_range(chunks, [&](std::size_t, IndexRange range) {
    for (std::size_t k = range.begin; k < range.end; ++k) {
      if ((k & 0xFFF) == 0 && repeat.load(std::memory_order_relaxed)) return;
      if (k + kAhead < range.end) __builtin_prefetch(table.get() + slot(ids[k + kAhead]));
      const std::int64_t id = ids[k];
      for (std::size_t at = slot(id);; at = (at + 1) & mask) {
        std::atomic_ref<std::int64_t> cell(table[at]);
        std::int64_t there = cell.load(std::memory_order_relaxed);
        if (there == empty && cell.compare_exchange_strong(there, id, std::memory_order_relaxed))
          break;
        if (there == id) {  // entered before, by this thread or another
          repeat.store(true, std::memory_order_relaxed);
          return;
        }
      }
    }
  });
  return !repeat.load();
}

// Numbers runs whose ids are `ids`, in run order, stopping at the first id seen before.
// Returns whether every run is a transaction of its own (the rows are grouped).
template <class Numbers>
bool number_runs(const UninitVector<std::int64_t>& ids, Numbers& numbers) {
  constexpr std::size_t kLookupsAhead = 8;  // table slots are misses: fetch a few runs ahead
  const std::size_t runs = ids.size();
  for (std::size_t k = 0; k < runs; ++k) {
    throw_if_cancelled_every(k);
    if (k + kLookupsAhead < runs) numbers.prefetch(ids[k + kLookupsAhead]);
    bool added = false;
    numbers.find_or_add(ids[k], static_cast<std::uint32_t>(k), &added);
    if (!added) return false;
  }
  return true;
}

// Numbers every row in row order, overwriting the ids in `rows` with the numbers. The one
// path for rows whose transactions are spread out: first appearance is a sequential notion.
// Returns whether the rows came grouped after all (every change of id a new transaction).
template <class Numbers>
bool number_rows(RowNumbers& rows, Numbers& numbers, UninitVector<std::int64_t>& distinct) {
  const std::size_t n = rows.size();
  distinct.clear();
  reserve_on_large_pages(distinct, n / 4 + 1);
  // Each lookup of a new id is a miss in a table far larger than the cache; the lookups
  // themselves must run in row order, but the ids they will need are known ahead, so a cursor
  // a few transactions in front prefetches their slots. It reads ids of rows past the
  // current one, which no number has overwritten yet.
  constexpr int kLookupsAhead = 8;
  std::size_t ahead = 0;
  std::int64_t ahead_id = rows.id(0);
  auto advance_ahead = [&] {
    while (++ahead < n) {
      const std::int64_t id = rows.id(ahead);
      if (id != ahead_id) {
        ahead_id = id;
        numbers.prefetch(id);
        return;
      }
    }
    ahead = n - 1;  // stays at the end: later calls find nothing more
  };
  auto number_of = [&](std::int64_t id) {
    bool added = false;
    const std::uint32_t number =
        numbers.find_or_add(id, static_cast<std::uint32_t>(distinct.size()), &added);
    if (added) distinct.push_back(id);
    return number;
  };
  for (int k = 0; k < kLookupsAhead; ++k) advance_ahead();
  bool grouped = true;
  std::int64_t previous_id = rows.id(0);
  std::uint32_t previous_txn = number_of(previous_id);
  rows.set_number(0, previous_txn);
  for (std::size_t r = 1; r < n; ++r) {
    throw_if_cancelled_every(r);
    const std::int64_t id = rows.id(r);
    if (id != previous_id) {
      advance_ahead();
      const std::uint32_t txn = number_of(id);
      grouped = grouped && txn == previous_txn + 1;
      previous_txn = txn;
      previous_id = id;
    }
    rows.set_number(r, previous_txn);
  }
  distinct.shrink_to_fit();
  rows.keep_numbers_only();
  return grouped;
}

}  // namespace

TransactionNumbering number_transactions(CallerArray<std::int64_t> txn_ids) {
  const std::size_t n = txn_ids.size();
  check_row_limit(n);
  TransactionNumbering out;
  if (n == 0) {
    out.offsets.assign(1, 0);
    return out;
  }
  // Of grouped rows, only the pages of the runs are touched.
  RowNumbers rows(n);
  const std::vector<IndexRange> chunks =
      pass_chunks(n, tuning::kParallelIndexMinRows, tuning::kIndexChunkMinRows);
  std::vector<ChunkIds> scans = scan_txn_ids(txn_ids, rows, chunks);

  // Chunk seams: whether a run starts at a chunk's first row depends on the row before it.
  std::int64_t lo = scans[0].lo, hi = scans[0].hi;
  bool ascending = true;
  bool in_runs = true;
  std::vector<std::size_t> first_run(chunks.size());
  std::size_t runs = 0;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const bool goes_on = c > 0 && scans[c].first == scans[c - 1].last;
    lo = std::min(lo, scans[c].lo);
    hi = std::max(hi, scans[c].hi);
    ascending = ascending && scans[c].ascending && (c == 0 || scans[c].first >= scans[c - 1].last);
    in_runs = in_runs && scans[c].in_runs();
    first_run[c] = runs;
    runs += scans[c].inner_starts + (goes_on ? 0 : 1);
  }
  if (!in_runs) expand_chunk_runs(scans, rows);
  auto collect = [&] {
    out.offsets.resize(runs + 1);
    out.distinct.resize(runs);
    if (in_runs) {
      collect_chunk_runs(scans, chunks, first_run, out.offsets.data(), out.distinct.data());
    } else {
      collect_runs(rows, chunks, first_run, out.offsets.data(), out.distinct.data());
    }
    out.offsets[runs] = static_cast<std::uint32_t>(n);
  };

  if (ascending) {
    // Ids that never decrease: every run is a new transaction, numbered in run order, so the
    // whole numbering is a parallel pass.
    collect();
    return out;
  }
  // Runs of several rows on average suggest grouped rows in another order: the rows are
  // grouped exactly when no two runs share an id, and then the numbers are again the run
  // order. Only a repeated id sends the rows to the per-row numbering, which needs every row's
  // id: in run form (whatever the count of runs) they are written out from the runs first.
  if (in_runs || runs <= n / 4) {
    collect();
    std::optional<bool> grouped = ids_distinct(out.distinct, lo, hi);
    if (!grouped) {
      with_id_numbers(lo, hi, runs, runs,
                      [&](auto& numbers) { grouped = number_runs(out.distinct, numbers); });
    }
    if (*grouped) return out;
    if (in_runs) expand_chunk_runs(scans, rows);
    release(out.offsets);
    release(out.distinct);
  }
  bool grouped = false;
  with_id_numbers(lo, hi, n, n / 4,
                  [&](auto& numbers) { grouped = number_rows(rows, numbers, out.distinct); });
  if (!grouped) {
    out.grouped = false;
    out.rows = std::move(rows);
    return out;
  }
  // Short transactions in no id order (one row each, say): grouped all the same.
  out.offsets.resize(out.distinct.size() + 1);
  for_each_step(0, n, [&](std::size_t r) {
    if (r == 0 || rows.number(r) != rows.number(r - 1)) out.offsets[rows.number(r)] = static_cast<std::uint32_t>(r);
  });
  out.offsets.back() = static_cast<std::uint32_t>(n);
  return out;
}

}  // namespace tallyfold
