// Internals of the transaction index that the Python surface cannot reach: the 32-bit
// offset limit (2^32 rows do not fit in a test machine) and the CSR bounds checks.
#include "common/inverted_index.hpp"
#include "common/panic.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"

using namespace tallyfold;
using Values = UninitVector<std::uint32_t>;  // the index's item lists and offsets

// Rows for sort_dedup_csr (offsets from `first`, after as many unused values), beside what it
// should make of them: each row sorted and de-duplicated, the rows packed from 0.
struct RowsAndPacked {
  explicit RowsAndPacked(std::uint32_t first) : values(first), offsets{first} {}
  void add(std::vector<std::uint32_t> row) {
    values.insert(values.end(), row.begin(), row.end());
    offsets.push_back(static_cast<std::uint32_t>(values.size()));
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
    expected_values.insert(expected_values.end(), row.begin(), row.end());
    expected_offsets.push_back(static_cast<std::uint32_t>(expected_values.size()));
  }
  void check() {
    const std::size_t rows = offsets.size() - 1;
    Csr packed = sort_dedup_csr(std::move(values), std::move(offsets), rows);
    CHECK(packed.values == expected_values);
    CHECK(packed.offsets == expected_offsets);
  }
  Values values, offsets, expected_values, expected_offsets{0};
};

int main() {
  // The largest row count that 32-bit offsets can hold passes; one more is refused.
  CHECK(!throws<LimitError>([] { check_row_limit(4294967295ull); }));
  CHECK(throws<LimitError>([] { check_row_limit(4294967296ull); }));

  // Rows are sorted and de-duplicated independently; empty rows stay empty.
  Csr csr = sort_dedup_csr({5, 1, 5, 3, 9, 9}, {0, 4, 4, 6}, 3);
  CHECK((csr.values == Values{1, 3, 5, 9}));
  CHECK((csr.offsets == Values{0, 3, 3, 4}));

  // Offsets may start past 0 (a row range cut from a larger buffer); they come back from 0.
  Csr cut = sort_dedup_csr({7, 3, 3, 1}, {1, 3, 4}, 2);
  CHECK((cut.values == Values{3, 1}));
  CHECK((cut.offsets == Values{0, 1, 2}));

  // Many duplicates: the spare capacity is handed back without a copy, and the vector stays
  // usable (growing into that capacity reads what is written, not stale values).
  {
    Values many(1u << 20, 9);
    many[0] = 4;
    Csr shrunk = sort_dedup_csr(std::move(many), {0, 1u << 19, 1u << 20}, 2);
    CHECK((shrunk.values == Values{4, 9, 9}));
    CHECK((shrunk.offsets == Values{0, 2, 3}));
    for (std::uint32_t k = 0; k < (1u << 19); ++k) shrunk.values.push_back(k);
    bool intact = shrunk.values[2] == 9;
    for (std::uint32_t k = 0; k < (1u << 19); ++k) intact = intact && shrunk.values[3 + k] == k;
    CHECK(intact);
  }

  // Enough rows for several chunks on the pool, duplicates in some rows only, so that packed
  // chunks move by different amounts; the offsets start past 0. Same as row by row.
  {
    RowsAndPacked rows(3);
    std::uint64_t state = 12345;
    auto next = [&] { return static_cast<std::uint32_t>((state = state * 6364136223846793005ull + 1442695040888963407ull) >> 41); };
    for (std::size_t r = 0; r < 100000; ++r) {
      const std::uint32_t len = next() % 7, range = r % 5 == 0 ? 3 : 1000;
      std::vector<std::uint32_t> row;
      for (std::uint32_t k = 0; k < len; ++k) row.push_back(next() % range);
      rows.add(std::move(row));
    }
    rows.check();
  }

  // The packed chunks reach the front on the pool (few duplicates) or on one thread (many),
  // also where a chunk keeps fewer values than it moves by (a stretch of empty rows) and where
  // duplicates come only in the last rows. Same as row by row each time.
  for (const auto& [duplicate_every, empty_from, empty_to] :
       std::vector<std::tuple<std::size_t, std::size_t, std::size_t>>{
           {40000, 0, 0}, {5000, 28673, 36863}, {7, 0, 0}, {1, 20000, 20001}, {99990, 0, 0}}) {
    RowsAndPacked rows(0);
    for (std::size_t r = 0; r < 100000; ++r) {
      std::vector<std::uint32_t> row;
      if (r < empty_from || r >= empty_to)
        for (std::uint32_t k = 0; k < 3; ++k) row.push_back(static_cast<std::uint32_t>((r * 7 + k * 13) % 1000));
      if (!row.empty() && r % duplicate_every == duplicate_every - 1) row.push_back(row[0]);
      rows.add(std::move(row));
    }
    rows.check();
  }

  // Offsets that run past the values, or too few offsets, are internal faults.
  CHECK(throws<Panic>([] { sort_dedup_csr({1, 2}, {0, 3}, 1); }));
  CHECK(throws<Panic>([] { sort_dedup_csr({1, 2}, {0}, 1); }));
  CHECK(throws<Panic>([] { sort_dedup_csr({1, 2}, {0, 2, 1}, 2); }));
  // Rows enough for the pool, two bad ones in different chunks: the first in row order is
  // the one reported, whichever chunk runs first.
  {
    const std::size_t rows = 100000;
    Values values(rows, 1), offsets(rows + 1);
    for (std::size_t r = 0; r <= rows; ++r) offsets[r] = static_cast<std::uint32_t>(r);
    offsets[60001] = 59990;      // row 60000 ends before it starts
    offsets[90001] = rows + 5;   // row 90000 ends past the values
    std::string message;
    try {
      sort_dedup_csr(std::move(values), std::move(offsets), rows);
    } catch (const Panic& e) {
      message = e.what();
    }
    CHECK(message.find("starts at 60000 but ends at 59990") != std::string::npos);
  }

  // The index keeps first-seen numbering and both directions consistent.
  const std::vector<std::int64_t> txn{42, 7, 42};
  const std::vector<std::int32_t> item{1, 2, 3};
  InvertedIndex index = build_inverted_index(txn, item, 4);
  CHECK((index.txn_items == Values{1, 3, 2}));
  CHECK((index.item_txns == Values{0, 1, 0}));
  CHECK((index.item_counts == std::vector<std::uint32_t>{0, 1, 1, 1}));

  // Far-apart caller ids (hashed, numbers written over the ids as they are read): first-seen
  // order, and every row keeps its own transaction.
  const std::vector<std::int64_t> far{1000000000000000, -5, 1000000000000000, 7, -5, 7};
  const std::vector<std::int32_t> far_items{0, 1, 2, 3, 0, 1};
  InvertedIndex hashed = build_inverted_index(far, far_items, 4);
  CHECK((hashed.txn_items == Values{0, 2, 0, 1, 1, 3}));

  // Sparse ids are numbered densely in id order; the tables hold only the items present.
  const std::vector<std::int64_t> txn2{1, 1, 2};
  const std::vector<std::int32_t> item2{2147483647, 0, 70000};
  InvertedIndex sparse = build_inverted_index(txn2, item2, 2147483648u);
  CHECK(sparse.item_space == 3);
  CHECK((sparse.txn_items == Values{0, 2, 1}));
  CHECK(sparse.numbering.caller_id(2) == 2147483647u);
  CHECK(sparse.numbering.number_of(70000, 99) == 1);
  CHECK(sparse.numbering.number_of(5, 99) == 99);
  return check_failures() == 0 ? 0 : 1;
}
