#pragma once
// The one read of the caller's transaction ids, in chunks of rows on the pool. Rows usually
// come grouped by transaction, several rows to a run of equal ids: a chunk then keeps only its
// runs (where each ends and its id, 12 bytes a run) and never touches its stretch of the row
// buffer, which would cost 8 bytes a row written and, being fresh memory, faulted in first. A
// chunk whose id changes more often than every fourth row copies its ids into the buffer
// instead, from the row where its runs stop fitting (the runs before it written out first).

#include <cstdint>
#include <memory>
#include <vector>

#include "common/caller_array.hpp"
#include "common/parallel.hpp"
#include "common/transaction_numbering.hpp"

namespace tallyfold {

struct ChunkIds {
  IndexRange range;
  std::int64_t lo = 0, hi = 0;     // the smallest and largest id
  std::int64_t first = 0, last = 0;  // the ids of the first and the last row
  std::size_t inner_starts = 0;    // rows after the first whose id differs from the row before
  bool ascending = true;           // no id below the one before it within the chunk
  // In run form (the row buffer untouched): run j ends before row run_ends[j] and has id
  // run_ids[j], for inner_starts + 1 runs. Both point into the scan's RunStorage; null once
  // the ids are in the row buffer.
  std::uint32_t* run_ends = nullptr;
  std::int64_t* run_ids = nullptr;

  bool in_runs() const { return run_ends != nullptr; }
  std::uint32_t run_start(std::size_t j) const {
    return j == 0 ? static_cast<std::uint32_t>(range.begin) : run_ends[j - 1];
  }
};

// Room for the runs of every chunk, in one allocation of 3 bytes a row of which only the runs
// that occur are touched. One block rather than one per chunk: freed, a block that large goes
// back to the system, where blocks allocated by the pool threads would stay in their heaps.
struct RunStorage {
  std::unique_ptr<std::uint32_t[]> ends;
  std::unique_ptr<std::int64_t[]> ids;
};

// Reads every id of `txn_ids` once, chunk by chunk, `rows` taking the ids of the chunks that
// are not in run form and `storage` the runs of the others.
std::vector<ChunkIds> scan_txn_ids(CallerArray<std::int64_t> txn_ids, RowNumbers& rows,
                                   const std::vector<IndexRange>& chunks, RunStorage& storage);

// Writes the ids of the chunks still in run form into `rows`: after it, `rows` holds the id
// of every row and the storage of the runs can go.
void expand_chunk_runs(std::vector<ChunkIds>& chunks, RowNumbers& rows);

}  // namespace tallyfold
