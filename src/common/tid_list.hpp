#pragma once
// Transaction sets of itemsets: one bitmap per item, and the adaptive TidList, a plain
// ascending sequence while small and a bitmap beyond 32 entries. Walking or filtering a
// small bitmap costs more than a flat sequence; large sets keep container-wise intersection.

#include <array>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "common/inverted_index.hpp"
#include "common/roaring.hpp"

namespace tallyfold {

// Up to this many transactions a TidList is Sparse, from one more on Dense.
inline constexpr std::size_t kTidDenseThreshold = 32;

// The transactions of each item as a bitmap, indexed by item id.
struct ItemTxnsRoaring {
  std::vector<Bitmap> bitmaps;
  // With `wanted`, only the flagged items get their bitmap (the others stay empty): a
  // pipeline extends itemsets by items of frequent pairs only, and building bitmaps for
  // thousands of rare items would cost more than the level they serve.
  static ItemTxnsRoaring from_index(const InvertedIndex& index,
                                    const std::vector<std::uint8_t>* wanted = nullptr);
};

// At most 32 ascending transaction indices, held inline: a level may hold millions of small
// sets, and none of them costs a heap allocation.
struct SparseTids {
  std::uint32_t length = 0;
  std::array<std::uint32_t, kTidDenseThreshold> tids;
  std::span<const std::uint32_t> view() const { return {tids.data(), length}; }
};

class TidList {
 public:
  TidList() = default;

  // Dense when the bitmap holds more than 32 values (taken over without a copy), otherwise
  // Sparse with its values (the bitmap is released).
  static TidList from_roaring(Bitmap bitmap);

  // The list of ascending transaction indices `tids`, Sparse or Dense by its length.
  static TidList of(std::span<const std::uint32_t> tids);

  // The transactions present in both, Sparse or Dense by the result's length only.
  TidList intersect_with_bitmap(const Bitmap& other) const;

  bool is_dense() const { return std::holds_alternative<Bitmap>(set_); }
  std::uint64_t length() const;

  // The transactions in ascending order; `buffer` holds a Dense list's decoded values.
  std::span<const std::uint32_t> walk(std::vector<std::uint32_t>& buffer) const;

 private:
  std::variant<SparseTids, Bitmap> set_;
};

}  // namespace tallyfold
