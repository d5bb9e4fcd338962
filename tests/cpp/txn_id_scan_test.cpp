// The read of transaction ids: chunks of grouped rows keep their runs and leave the row buffer
// alone; a chunk whose ids change too often copies them, the runs before the switch included;
// either way every row's id can be had afterwards, and the chunks agree on the layout.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "common/txn_id_scan.hpp"

using namespace tallyfold;

namespace {

// Every row's id as the scan left it: from the runs, or from the row buffer.
std::vector<std::int64_t> ids_of(const std::vector<ChunkIds>& chunks, const RowNumbers& rows) {
  std::vector<std::int64_t> ids;
  for (const ChunkIds& chunk : chunks) {
    for (std::size_t r = chunk.range.begin; r < chunk.range.end; ++r) {
      if (!chunk.in_runs()) {
        ids.push_back(rows.id(r));
        continue;
      }
      std::size_t j = 0;
      while (chunk.run_ends[j] <= r) ++j;
      ids.push_back(chunk.run_ids[j]);
    }
  }
  return ids;
}

}  // namespace

int main() {
  // Three chunks of 40 rows and one of a single row (whose run needs more room than the row's
  // own 8 bytes): runs of 5 rows (ids 0, 1, 2, ...); then runs of 8 rows but descending; then
  // 20 rows in runs of 10 followed by 20 single rows, which overflow the chunk's room for
  // 40 / 4 + 1 runs at its 30th row; then one more row.
  std::vector<std::int64_t> txn;
  for (int r = 0; r < 40; ++r) txn.push_back(r / 5);
  for (int r = 0; r < 40; ++r) txn.push_back(100 - r / 8);
  for (int r = 0; r < 20; ++r) txn.push_back(200 + r / 10);
  for (int r = 0; r < 20; ++r) txn.push_back(300 + r);
  txn.push_back(319);
  const std::vector<IndexRange> ranges{{0, 40}, {40, 80}, {80, 120}, {120, 121}};
  RowNumbers rows(txn.size());
  std::vector<ChunkIds> chunks = scan_txn_ids(txn, rows, ranges);

  CHECK(chunks[0].in_runs() && chunks[1].in_runs() && !chunks[2].in_runs());
  CHECK(chunks[0].inner_starts == 7 && chunks[0].run_ends[0] == 5 && chunks[0].run_ids[7] == 7);
  CHECK(chunks[1].inner_starts == 4 && chunks[1].run_start(1) == 48 && chunks[1].run_ends[4] == 80);
  CHECK(chunks[2].inner_starts == 21);
  CHECK(chunks[0].ascending && !chunks[1].ascending && chunks[2].ascending);
  CHECK(chunks[1].lo == 96 && chunks[1].hi == 100 && chunks[1].first == 100 && chunks[1].last == 96);
  CHECK(chunks[2].lo == 200 && chunks[2].hi == 319 && chunks[2].last == 319);
  CHECK(chunks[3].in_runs() && chunks[3].inner_starts == 0 && chunks[3].run_ends[0] == 121);
  CHECK(ids_of(chunks, rows) == txn);

  expand_chunk_runs(chunks, rows);
  bool all_rows = true;
  for (const ChunkIds& chunk : chunks) all_rows = all_rows && !chunk.in_runs();
  CHECK(all_rows);
  bool same = true;
  for (std::size_t r = 0; r < txn.size(); ++r) same = same && rows.id(r) == txn[r];
  CHECK(same);

  // One row per id: the chunk runs out of room for 8 / 4 + 1 runs at its fourth row.
  const std::vector<std::int64_t> singles{5, 3, 9, 1, 7, 2, 8, 4};
  RowNumbers single_rows(singles.size());
  const std::vector<ChunkIds> one = scan_txn_ids(singles, single_rows, {{0, singles.size()}});
  CHECK(!one[0].in_runs() && one[0].inner_starts == 7 && !one[0].ascending);
  CHECK(ids_of(one, single_rows) == singles);
  return check_failures() == 0 ? 0 : 1;
}
