#pragma once
// The transactions of a segment's shared items (every run's prefix but its last item), kept
// from one segment to the next as a stack: depth d holds the transactions of the first d + 1
// items. Segments come in lexicographic order, so consecutive ones mostly share their leading
// items and recompute only the depths past them. Computed from scratch per segment, the
// shared transactions took about half of levels 4 to 6 on T10I4D100K at count 50.
// One per worker; valid while the index it reads stays as it is (one level's count).

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "classic/tid_sets.hpp"
#include "classic/transaction_index.hpp"
#include "common/bitset_kernels.hpp"
#include "common/row_order.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

// Over transaction lists.
class SharedLists {
 public:
  // The transactions holding every item of `shared` (not empty), ascending.
  std::span<const std::uint32_t> of(const TransactionIndex& index,
                                    std::span<const std::uint32_t> shared) {
    if (shared.size() == 1) return index.tids(shared[0]);
    const std::size_t kept = shared_prefix(items_, shared);
    if (lists_.size() < shared.size()) lists_.resize(shared.size());
    for (std::size_t d = std::max<std::size_t>(kept, 1); d < shared.size(); ++d) {
      const std::span<const std::uint32_t> next = index.tids(shared[d]);
      std::vector<std::uint32_t>& out = lists_[d];
      if (d == 1 && marks_first(index, shared[0])) {
        out.resize(next.size());
        out.resize(keep_marked(next, out.data()));
        continue;
      }
      const std::span<const std::uint32_t> above =
          d == 1 ? index.tids(shared[0]) : std::span<const std::uint32_t>(lists_[d - 1]);
      out.resize(std::min(above.size(), next.size()));
      out.resize(intersect_lists(above, next, out.data()));
    }
    items_.assign(shared.begin(), shared.end());
    return lists_[shared.size() - 1];
  }

 private:
  // Depth 1 pairs the first shared item, the same for a long stretch of segments, with each
  // second one. With the first item's transactions marked in a bitset, each pairing tests
  // the second item's transactions only, where a merge reads both lists every time. Only
  // while the bitset stays in a core's own cache: a test that misses costs more than a merge
  // step.
  bool marks_first(const TransactionIndex& index, std::uint32_t first) {
    const std::size_t words = (std::size_t{index.n_transactions()} + 63) / 64;
    if (words * sizeof(std::uint64_t) > tuning::kClassicMarkBytesMax) return false;
    if (marked_ == first) return true;
    if (marks_.size() != words) {
      marks_.assign(words, 0);
    } else if (marked_ != kNone) {
      for (std::uint32_t t : index.tids(marked_)) marks_[t >> 6] = 0;
    }
    set_bits(index.tids(first), marks_.data());
    marked_ = first;
    return true;
  }

  // The entries of `tids` marked, written to `out` in order; returns how many. The write is
  // unconditional and the cursor moves only on a mark: whether one is marked is data.
  std::size_t keep_marked(std::span<const std::uint32_t> tids, std::uint32_t* out) const {
    std::size_t n = 0;
    for (std::uint32_t t : tids) {
      out[n] = t;
      n += (marks_[t >> 6] >> (t & 63)) & 1;
    }
    return n;
  }

  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  std::vector<std::uint32_t> items_;
  std::vector<std::vector<std::uint32_t>> lists_;  // depth 0 is the index's own list, unused
  std::vector<std::uint64_t> marks_;               // the transactions of item `marked_`
  std::uint32_t marked_ = kNone;
};

// Over transaction bitsets of `words` words each.
class SharedBits {
 public:
  struct Set {
    const std::uint64_t* bits;
    std::uint32_t count;
  };

  // The transactions holding every item of `shared` (not empty), as a bitset and its count.
  Set of(const TransactionIndex& index, std::span<const std::uint32_t> shared) {
    if (shared.size() == 1) return {index.bitset(shared[0]), index.count(shared[0])};
    const std::size_t words = index.bitset_words();
    const std::size_t kept = shared_prefix(items_, shared);
    if (counts_.size() < shared.size()) {
      counts_.resize(shared.size());
      bits_.resize(shared.size() * words);
    }
    for (std::size_t d = std::max<std::size_t>(kept, 1); d < shared.size(); ++d) {
      const std::uint64_t* above = d == 1 ? index.bitset(shared[0]) : depth(d - 1, words);
      counts_[d] = and_into(above, index.bitset(shared[d]), depth(d, words), words);
    }
    items_.assign(shared.begin(), shared.end());
    return {depth(shared.size() - 1, words), counts_[shared.size() - 1]};
  }

 private:
  std::uint64_t* depth(std::size_t d, std::size_t words) { return bits_.data() + d * words; }

  std::vector<std::uint32_t> items_;
  std::vector<std::uint32_t> counts_;
  std::vector<std::uint64_t> bits_;  // depth d at d * words; depth 0 unused
};

}  // namespace tallyfold
