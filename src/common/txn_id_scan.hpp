#pragma once
// The one read of the caller's transaction ids, in chunks of rows on the pool. Rows usually
// come grouped by transaction, several rows to a run of equal ids: a chunk then keeps only its
// runs (where each ends and its id, 12 bytes a run) at the start of its own stretch of the row
// buffer, and never touches the rest of it, where a copy would write 8 bytes a row into fresh
// memory that must first be faulted in. A chunk whose id changes more often than every fourth
// row copies its ids into its stretch instead, from the row where its runs stop fitting (the
// runs before it written out first).

#include <cstdint>
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
  // In run form: run j ends before row run_ends[j] and has id run_ids[j], for inner_starts + 1
  // runs. Both point into the chunk's stretch of the row buffer; null once the chunk's rows
  // hold their ids.
  std::uint32_t* run_ends = nullptr;
  std::int64_t* run_ids = nullptr;

  bool in_runs() const { return run_ends != nullptr; }
  std::uint32_t run_start(std::size_t j) const {
    return j == 0 ? static_cast<std::uint32_t>(range.begin) : run_ends[j - 1];
  }
};

// Reads every id of `txn_ids` once, chunk by chunk, into `rows`: each chunk keeps its runs or
// its rows' ids in its own stretch of it.
std::vector<ChunkIds> scan_txn_ids(CallerArray<std::int64_t> txn_ids, RowNumbers& rows,
                                   const std::vector<IndexRange>& chunks);

// Writes the ids of the chunks still in run form into their rows: after it, `rows` holds the
// id of every row.
void expand_chunk_runs(std::vector<ChunkIds>& chunks, RowNumbers& rows);

}  // namespace tallyfold
