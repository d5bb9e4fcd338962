#pragma once
// The transaction half of the index build: every row's caller transaction id becomes a dense
// number, in order of first appearance. The caller's ids are read once, by the pool: runs of
// equal ids are kept as runs, ids that change at almost every row are copied into a buffer of
// the build's own (txn_id_scan.hpp). What comes out depends on the layout of the rows:
//   - grouped (every transaction's rows adjacent, the usual layout): the row range of each
//     transaction, so the rows in their given order already are the transaction side of the
//     index and no per-row number is kept;
//   - otherwise: the number of every row, for the build to scatter rows by.
// Both are the same function of the input whatever the number of threads.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/caller_array.hpp"
#include "common/uninit_vector.hpp"

namespace tallyfold {

// One number per row, 4 bytes each; on the way there the same buffer held the caller's
// 8-byte ids (see number_transactions).
class RowNumbers {
 public:
  RowNumbers() = default;
  explicit RowNumbers(std::size_t rows);

  std::size_t size() const { return rows_; }

  std::int64_t id(std::size_t r) const { return ids().id(r); }
  void set_id(std::size_t r, std::int64_t id) { ids().set_id(r, id); }
  std::uint32_t number(std::size_t r) const {
    std::uint32_t number;
    std::memcpy(&number, bytes_.get() + r * sizeof number, sizeof number);
    return number;
  }
  // Row r's number covers bytes [4r, 4r + 4), which belonged to the id of row r / 2: written
  // in row order after row r's id is read, a number only covers ids that were read already.
  void set_number(std::size_t r, std::uint32_t number) {
    std::memcpy(bytes_.get() + r * sizeof number, &number, sizeof number);
  }

  // The ids by a handle to the buffer alone, for loops over many rows: the buffer is written
  // by byte copies, which may alias anything in memory (this object's own pointer too), so a
  // loop that reads and writes through the object reloads its pointer at every row.
  class Ids {
   public:
    explicit Ids(unsigned char* buffer) : buffer_(buffer) {}
    std::int64_t id(std::size_t r) const {
      std::int64_t id;
      std::memcpy(&id, buffer_ + r * sizeof id, sizeof id);
      return id;
    }
    void set_id(std::size_t r, std::int64_t id) const {
      std::memcpy(buffer_ + r * sizeof id, &id, sizeof id);
    }

   private:
    unsigned char* buffer_;
  };
  Ids ids() const { return Ids(bytes_.get()); }
  // The room of row r's id and the rows after it, as raw memory for a scan to keep other
  // data in until it writes those rows' ids: 8-byte aligned, 8 bytes a row and 8 more.
  unsigned char* room_of(std::size_t r) const { return bytes_.get() + r * sizeof(std::int64_t); }

  // After the last set_number: the buffer shrinks to the numbers, in place.
  void keep_numbers_only();
  void release() { bytes_.reset(); }

 private:
  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::size_t rows_ = 0;
  std::unique_ptr<unsigned char, Free> bytes_;
};

// Both arrays are sized without a fill: a pass on the pool writes every entry, and so faults
// their pages in on both threads (a zero fill on one took 0.7 ms of a 30 ms call on
// T10I4D100K's 100,000 transactions).
struct TransactionNumbering {
  UninitVector<std::int64_t> distinct;  // the caller id of each number
  bool grouped = true;
  // Grouped: distinct.size() + 1 entries, transaction t owns rows [offsets[t], offsets[t+1]).
  UninitVector<std::uint32_t> offsets;
  // Not grouped: the number of every row.
  RowNumbers rows;
};

// Reads every caller id once. Throws LimitError for 2^32 rows or more.
TransactionNumbering number_transactions(CallerArray<std::int64_t> txn_ids);

}  // namespace tallyfold
