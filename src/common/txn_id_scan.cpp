#include "common/txn_id_scan.hpp"

#include <algorithm>
#include <vector>

#include "common/cancel.hpp"

namespace tallyfold {

namespace {

// Run form pays while runs average at least this many rows: 12 bytes a run then stay at or
// under 3 a row, against the 8 of a copy.
constexpr std::size_t kRowsPerRunAtLeast = 4;
constexpr std::size_t kCancelBlock = std::size_t{1} << 14;

// Writes the ids of the first `runs` runs of a chunk into its rows, which hold the runs
// themselves: they are copied out first.
void write_runs(ChunkIds& chunk, std::size_t runs, const RowNumbers::Ids& out) {
  const std::vector<std::int64_t> ids(chunk.run_ids, chunk.run_ids + runs);
  const std::vector<std::uint32_t> ends(chunk.run_ends, chunk.run_ends + runs);
  chunk.run_ids = nullptr;
  chunk.run_ends = nullptr;
  auto row = static_cast<std::uint32_t>(chunk.range.begin);
  for (std::size_t j = 0; j < runs; ++j) {
    throw_if_cancelled_every(j);
    for (; row < ends[j]; ++row) out.set_id(row, ids[j]);
  }
}

// Scans one chunk. Its stretch of the row buffer (8 bytes a row) holds the runs: their ids
// first, 8 bytes each, then their ends, 4 bytes each, a quarter of the rows (and one) of each.
ChunkIds scan_chunk(const CallerArray<std::int64_t> source, const RowNumbers& rows,
                    IndexRange range) {
  const RowNumbers::Ids out = rows.ids();
  const std::size_t capacity = (range.end - range.begin) / kRowsPerRunAtLeast + 1;
  auto* const ids = reinterpret_cast<std::int64_t*>(rows.room_of(range.begin));
  auto* const ends = reinterpret_cast<std::uint32_t*>(ids + capacity);
  ChunkIds chunk;
  chunk.range = range;
  chunk.run_ends = ends;
  chunk.run_ids = ids;
  // Running values in locals, not in the chunk's fields: the row copies are byte stores,
  // which could alias the fields, so these would be stored and reloaded at every row.
  std::int64_t previous = source.load(range.begin);
  std::int64_t lo = previous, hi = previous;
  bool ascending = true;
  chunk.first = previous;
  ends[0] = static_cast<std::uint32_t>(range.begin + 1);
  ids[0] = previous;

  // Every row rewrites the end (and id) of the run it belongs to, so there is no branch on
  // where runs start; the only one is on running out of room, which is taken once at most.
  std::size_t run = 0, r = range.begin + 1;
  std::int64_t id = 0;
  bool full = false;
  while (r < range.end && !full) {
    throw_if_cancelled();
    const std::size_t stop = std::min(range.end, r + kCancelBlock);
    for (; r < stop; ++r) {
      id = source.load(r);
      const std::size_t next = run + (id != previous);
      if (next == capacity) {
        full = true;
        break;
      }
      lo = std::min(lo, id);
      hi = std::max(hi, id);
      ascending &= id >= previous;
      run = next;
      ends[run] = static_cast<std::uint32_t>(r + 1);
      ids[run] = id;
      previous = id;
    }
  }
  std::size_t inner_starts = run;
  if (full) {
    // Runs too short to pay: the rows read so far go to the buffer, row r (read already, it
    // starts a run) and the rest follow one by one.
    write_runs(chunk, run + 1, out);
    auto take = [&](std::size_t row, std::int64_t value) {
      out.set_id(row, value);
      lo = std::min(lo, value);
      hi = std::max(hi, value);
      inner_starts += value != previous;
      ascending &= value >= previous;
      previous = value;
    };
    take(r, id);
    for_each_step(r + 1, range.end, [&](std::size_t row) { take(row, source.load(row)); });
  }
  chunk.lo = lo;
  chunk.hi = hi;
  chunk.last = previous;
  chunk.inner_starts = inner_starts;
  chunk.ascending = ascending;
  return chunk;
}

}  // namespace

std::vector<ChunkIds> scan_txn_ids(CallerArray<std::int64_t> txn_ids, RowNumbers& rows,
                                   const std::vector<IndexRange>& chunks) {
  std::vector<ChunkIds> scans(chunks.size());
  for_each_range(chunks, [&](std::size_t c, IndexRange range) {
    scans[c] = scan_chunk(txn_ids, rows, range);
  });
  return scans;
}

void expand_chunk_runs(std::vector<ChunkIds>& chunks, RowNumbers& rows) {
  std::vector<IndexRange> ranges;
  for (const ChunkIds& chunk : chunks) ranges.push_back(chunk.range);
  for_each_range(ranges, [&](std::size_t c, IndexRange) {
    ChunkIds& chunk = chunks[c];
    if (chunk.in_runs()) write_runs(chunk, chunk.inner_starts + 1, rows.ids());
  });
}

}  // namespace tallyfold
