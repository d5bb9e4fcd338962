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


#include "common/input_rows.hpp"
#include "common/parallel.hpp"
#include "common/row_sort.hpp"
#include "common/transaction_numbering.hpp"
#include "common/cancel.hpp"
#include "common/large_page_vector.hpp"
#include "common/panic.hpp"
#include "common/tuning.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

namespace {

// Gives the whole pages of a vector's unused capacity back to the system. shrink_to_fit would
// copy the kept part into a new buffer, holding both at once: at the size of the index that
// copy is the peak of the build. The vector keeps its capacity; the pages behind it are
// simply refilled with zeros should it ever grow into them.
template <class T, class A>
void release_spare_capacity(std::vector<T, A>& values) {
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

// The item side of the index from its transaction side (sorted, de-duplicated rows): per
// item the transactions it occurs in, ascending, and its offsets. Ranges of transactions
// count their items on the pool, each into a table of its own; a prefix sum over the items
// and the ranges in order then gives every range its own write position per item, so the
// ranges scatter at once and each item's transactions still come out ascending.
void invert_rows(const Csr& by_txn, std::uint32_t n_transactions, std::uint32_t item_space,
                 std::vector<std::uint32_t>& item_offsets, UninitVector<std::uint32_t>& item_txns) {
  const std::size_t entries = by_txn.values.size();
  // Many ranges a thread, as in any pass: the scatter faults the fresh item side in, and with
  // two ranges a thread the ranges that ran first paid for most of the faults while the other
  // thread waited (10^7 rows: one thread alone for an eighth of this pass). Each range costs
  // a table of item_space counters, all of them held at once: together at most an eighth of
  // the entries.
  std::size_t n_ranges =
      entries < tuning::kParallelIndexMinRows ? 1 : pool_threads() * tuning::kChunksPerThread;
  n_ranges = std::max<std::size_t>(
      1, std::min(n_ranges, entries / (8 * (std::size_t{item_space} + 1))));
  std::vector<IndexRange> ranges;
  for (std::size_t k = 0; k < n_ranges; ++k) {
    const std::size_t cut = entries * (k + 1) / n_ranges;
    const std::size_t end =
        k + 1 == n_ranges ? n_transactions
                          : static_cast<std::size_t>(std::lower_bound(by_txn.offsets.begin(),
                                                                      by_txn.offsets.begin() + n_transactions,
                                                                      cut) -
                                                     by_txn.offsets.begin());
    const std::size_t begin = ranges.empty() ? 0 : ranges.back().end;
    if (end > begin) ranges.push_back({begin, end});
  }

  std::vector<std::vector<std::uint32_t>> counts(ranges.size());
  auto entries_of = [&](IndexRange range) {
    return std::pair{by_txn.values.data() + by_txn.offsets[range.begin],
                     by_txn.values.data() + by_txn.offsets[range.end]};
  };
  if (!ranges.empty()) {
    for_each_range(ranges, [&](std::size_t c, IndexRange range) {
      counts[c].assign(item_space, 0);
      std::uint32_t* count = counts[c].data();
      const auto [from, to] = entries_of(range);
      const std::uint32_t* const entry = from;
      for_each_step(0, static_cast<std::size_t>(to - from), [&](std::size_t e) { ++count[entry[e]]; });
    });
  }
  // Counts become write positions: the item's start plus what earlier ranges write before.
  // Per item the ranges' counts become offsets within the item, by blocks of items on the
  // pool (items x ranges steps: 0.6 million on 10^7 rows of 20,000 items); only the item
  // starts are summed on one thread, and each range adds its items' starts as it begins.
  item_offsets.assign(std::size_t{item_space} + 1, 0);
  const std::vector<IndexRange> item_blocks =
      ranges.size() < 2 ? std::vector<IndexRange>{{0, item_space}}
                        : even_ranges(item_space, pool_threads() * tuning::kChunksPerThread, 1024);
  for_each_range(item_blocks, [&](std::size_t, IndexRange items) {
    for (std::size_t i = items.begin; i < items.end; ++i) {
      std::uint32_t within = 0;
      for (std::vector<std::uint32_t>& count : counts) {
        const std::uint32_t c = count[i];
        count[i] = within;
        within += c;
      }
      item_offsets[i + 1] = within;
    }
  });
  for (std::uint32_t i = 0; i < item_space; ++i) item_offsets[i + 1] += item_offsets[i];

  item_txns.clear();
  reserve_on_large_pages(item_txns, entries);
  item_txns.resize(entries);
  if (ranges.empty()) return;
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    // Pointers in locals and each row's end read once: the stores could alias the offsets
    // and the vectors' own pointers, which would then be reloaded for every entry.
    std::uint32_t* const cursor = counts[c].data();
    for (std::uint32_t i = 0; i < item_space; ++i) cursor[i] += item_offsets[i];
    std::uint32_t* const out = item_txns.data();
    const std::uint32_t* const offsets = by_txn.offsets.data();
    const std::uint32_t* const values = by_txn.values.data();
    for (std::size_t t = range.begin; t < range.end; ++t) {
      throw_if_cancelled_every(t);
      const std::uint32_t end = offsets[t + 1];
      for (std::uint32_t p = offsets[t]; p < end; ++p)
        out[cursor[values[p]]++] = static_cast<std::uint32_t>(t);
    }
    release(counts[c]);
  });
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
  InvertedIndex index = build_index_of_rows(txn_ids, item_ids, n_items);
  index.n_items = n_items;
  return index;
}

InvertedIndex build_index_of_rows(CallerArray<std::int64_t> txn_ids,
                                  CallerArray<std::int32_t> item_ids,
                                  std::optional<std::uint32_t> check_below) {
  InvertedIndex index;
  const std::size_t rows = txn_ids.size();
  // The only read of txn_ids.
  TransactionNumbering txns = number_transactions(txn_ids);
  // Nothing reads the caller's transaction ids again: they would hold 8 bytes a transaction
  // for the whole call.
  const auto n_transactions = static_cast<std::uint32_t>(txns.distinct.size());
  release(txns.distinct);
  index.n_transactions = n_transactions;
  // The only read of item_ids, checked here in row order.
  ItemRows items = read_item_ids(item_ids, rows, check_below);
  UninitVector<std::uint32_t> item_of_row = std::move(items.ids);
  std::uint32_t item_space = 0;
  index.numbering = ItemNumbering::number_items(item_of_row, items.end, &item_space);
  index.item_space = item_space;

  // Transaction side. Rows that come grouped by transaction (the usual layout) already are
  // it, in place; otherwise they are scattered by counting. Either way the per-row arrays are
  // gone before the item side is allocated.
  UninitVector<std::uint32_t> txn_offsets;
  UninitVector<std::uint32_t> txn_side;
  if (txns.grouped) {
    txn_offsets = std::move(txns.offsets);
    txn_side = std::move(item_of_row);
  } else {
    reserve_on_large_pages(txn_offsets, std::size_t{n_transactions} + 1);
    txn_offsets.assign(std::size_t{n_transactions} + 1, 0);
    for_each_step(0, rows, [&](std::size_t r) { ++txn_offsets[txns.rows.number(r) + 1]; });
    for (std::uint32_t t = 0; t < n_transactions; ++t) txn_offsets[t + 1] += txn_offsets[t];
    reserve_on_large_pages(txn_side, rows);
    txn_side.resize(rows);
    std::vector<std::uint32_t> cursor(txn_offsets.begin(), txn_offsets.end() - 1);
    for_each_step(0, rows, [&](std::size_t r) {
      txn_side[cursor[txns.rows.number(r)]++] = item_of_row[r];
    });
    release(item_of_row);
    txns.rows.release();
  }
  Csr by_txn = sort_dedup_csr(std::move(txn_side), std::move(txn_offsets), n_transactions);

  invert_rows(by_txn, n_transactions, item_space, index.item_offsets, index.item_txns);
  index.txn_items = std::move(by_txn.values);
  index.txn_offsets = std::move(by_txn.offsets);

  index.item_counts.resize(item_space);
  for (std::uint32_t i = 0; i < item_space; ++i)
    index.item_counts[i] = index.item_offsets[i + 1] - index.item_offsets[i];
  return index;
}

namespace {

// Moves every chunk's packed values, kept[c] of them from start[c], to the front in chunk
// order, and shifts the chunk's offsets (offsets[r + 1] for its rows r) by as much; returns
// the number of values kept. Chunk c lands at dest[c], the sum of the kept values before it,
// and each chunk moves left only. The only values a move can overwrite before they have moved
// are the ends of earlier chunks that lie past where the next chunk lands (min(shift, kept)
// values of each chunk, where shift = start - dest): with those set aside first, every chunk
// moves at the same time, and the ends are written last. After one early duplicate nearly
// all of the values move, which one thread did alone (0.45 ms of a 17 ms call on 10^6 rows).
// When the ends would be a large share of the values (many duplicates), one thread moves the
// chunks in order, each onto space already vacated.
std::uint32_t pack_chunks_to_front(std::uint32_t* values, const std::vector<IndexRange>& chunks,
                                   const std::vector<std::uint32_t>& start,
                                   const std::vector<std::uint32_t>& kept,
                                   UninitVector<std::uint32_t>& offsets) {
  const std::size_t n = chunks.size();
  std::vector<std::uint32_t> dest(n + 1, 0), end_offset(n + 1, 0);
  std::uint64_t moved = 0;
  for (std::size_t c = 0; c < n; ++c) {
    dest[c + 1] = dest[c] + kept[c];
    const std::uint32_t shift = start[c] - dest[c];
    end_offset[c + 1] = end_offset[c] + std::min(shift, kept[c]);
    if (shift != 0) moved += kept[c];
  }
  const std::uint64_t set_aside = end_offset[n];
  offsets[0] = 0;
  if (moved == 0) return dest[n];
  const auto shift_offsets = [&](std::size_t c) {
    const std::uint32_t shift = start[c] - dest[c];
    if (shift != 0)
      for (std::size_t r = chunks[c].begin; r < chunks[c].end; ++r) offsets[r + 1] -= shift;
  };
  if (n == 1 || set_aside * tuning::kPackSetAsideShareInverse > moved) {
    for (std::size_t c = 0; c < n; ++c) {
      throw_if_cancelled();
      if (start[c] != dest[c])
        std::memmove(values + dest[c], values + start[c], std::size_t{kept[c]} * sizeof(std::uint32_t));
    }
    for_each_range(chunks, [&](std::size_t c, IndexRange) { shift_offsets(c); });
    return dest[n];
  }
  std::vector<std::uint32_t> ends(set_aside);
  const auto end_length = [&](std::size_t c) { return end_offset[c + 1] - end_offset[c]; };
  for_each_range(chunks, [&](std::size_t c, IndexRange) {
    std::memcpy(ends.data() + end_offset[c], values + start[c] + kept[c] - end_length(c),
                std::size_t{end_length(c)} * sizeof(std::uint32_t));
  });
  for_each_range(chunks, [&](std::size_t c, IndexRange) {
    if (start[c] != dest[c])
      std::memmove(values + dest[c], values + start[c],
                   std::size_t{kept[c] - end_length(c)} * sizeof(std::uint32_t));
    shift_offsets(c);
  });
  for_each_range(chunks, [&](std::size_t c, IndexRange) {
    std::memcpy(values + dest[c + 1] - end_length(c), ends.data() + end_offset[c],
                std::size_t{end_length(c)} * sizeof(std::uint32_t));
  });
  return dest[n];
}

}  // namespace

Csr sort_dedup_csr(UninitVector<std::uint32_t> values, UninitVector<std::uint32_t> offsets,
                   std::size_t rows) {
  if (offsets.size() < rows + 1) panic_range_end(rows + 1, offsets.size());

  // Chunks of rows on the pool: each sorts its rows, de-duplicates them and packs them to the
  // front of its own stretch of `values`, rewriting its offsets in place. A chunk reads and
  // writes only its own rows' entries, and offsets[r + 1] is read (as the old end of row r)
  // before it is overwritten; only the first offset of each chunk, which the chunk before it
  // rewrites, is taken beforehand. Each chunk checks its rows' bounds before it touches any
  // of them, and a chunk with a bad row leaves its rows alone; the first bad row in row order
  // is reported, the same whatever the chunks.
  const std::vector<IndexRange> chunks = pass_chunks(rows, tuning::kParallelDedupMinRows, 4096);
  std::vector<std::uint32_t> chunk_start(chunks.size()), chunk_kept(chunks.size());
  std::vector<std::size_t> bad_row(chunks.size(), rows);
  for (std::size_t c = 0; c < chunks.size(); ++c) chunk_start[c] = offsets[chunks[c].begin];
  for_each_range(chunks, [&](std::size_t c, IndexRange range) {
    std::uint32_t begin = chunk_start[c];
    for (std::size_t r = range.begin; r < range.end; ++r) {
      const std::uint32_t end = offsets[r + 1];
      if (end > values.size() || begin > end) {
        bad_row[c] = r;
        return;
      }
      begin = end;
    }
    std::uint32_t write = chunk_start[c];
    begin = chunk_start[c];
    for (std::size_t r = range.begin; r < range.end; ++r) {
      throw_if_cancelled_every(r);
      const std::uint32_t end = offsets[r + 1];
      write += sort_unique_row(values.data() + begin, end - begin, values.data() + write);
      offsets[r + 1] = write;
      begin = end;
    }
    chunk_kept[c] = write - chunk_start[c];
  });
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const std::size_t r = bad_row[c];
    if (r == rows) continue;
    const std::uint32_t begin = r == chunks[c].begin ? chunk_start[c] : offsets[r];
    const std::uint32_t end = offsets[r + 1];
    if (end > values.size()) panic_range_end(end, values.size());
    throw Panic("slice index starts at " + std::to_string(begin) + " but ends at " +
                std::to_string(end));
  }

  const std::uint32_t write = pack_chunks_to_front(values.data(), chunks, chunk_start, chunk_kept, offsets);
  offsets.resize(rows + 1);
  values.resize(write);
  release_spare_capacity(values);
  return {std::move(values), std::move(offsets)};
}

}  // namespace tallyfold
