#pragma once
// Rows of one width with a count each, appended in chunks of fixed size. A worker that finds
// rows one by one, in no order, keeps them here rather than in vectors that grow by doubling:
// those would hold up to twice the rows' memory, and three times during each regrowth.

#include <cstdint>
#include <span>
#include <vector>

#include "common/uninit_vector.hpp"

namespace tallyfold {

class RowChunks {
 public:
  static constexpr std::size_t kChunkRows = 4096;

  explicit RowChunks(std::size_t width) : width_(width) {}

  std::size_t width() const { return width_; }
  std::size_t size() const { return size_; }

  void append(std::span<const std::uint32_t> row, std::uint32_t count) {
    const std::size_t at = size_ % kChunkRows;
    if (at == 0) {
      // Sized, not reserved: rows are then written through plain pointers, with no check of
      // a vector's room for every item. Left unwritten, so a chunk's pages are only touched
      // as its rows arrive.
      items_.emplace_back(kChunkRows * width_);
      counts_.emplace_back(kChunkRows);
    }
    // Rows are a few items: copied one by one, they cost no call to memmove each.
    std::uint32_t* const out = items_.back().data() + at * width_;
    for (std::size_t i = 0; i < row.size(); ++i) out[i] = row[i];
    counts_.back()[at] = count;
    ++size_;
  }

  std::span<const std::uint32_t> row(std::size_t r) const {
    return {items_[r / kChunkRows].data() + (r % kChunkRows) * width_, width_};
  }
  std::uint32_t count(std::size_t r) const { return counts_[r / kChunkRows][r % kChunkRows]; }

  // Rows r with r / kChunkRows == c share chunk c. Freeing a chunk's items (and with
  // `counts` its counts) leaves those rows unreadable; the others stay as they are.
  std::size_t chunks() const { return counts_.size(); }
  void release_chunk(std::size_t c, bool counts) {
    Chunk().swap(items_[c]);
    if (counts) Chunk().swap(counts_[c]);
  }

 private:
  std::size_t width_;
  std::size_t size_ = 0;
  using Chunk = UninitVector<std::uint32_t>;
  std::vector<Chunk> items_, counts_;
};

}  // namespace tallyfold
