#include "common/pair_set.hpp"

#include <algorithm>

#include "common/hash_growth.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

PairSet::PairSet(const std::vector<std::uint32_t>& flat_pairs) {
  const std::size_t n = flat_pairs.size() / 2;
  if (n == 0) return;
  std::uint32_t max_id = 0;
  for (std::uint32_t id : flat_pairs) max_id = std::max(max_id, id);
  if (max_id < kMaxRankedId) {
    rank_.assign(static_cast<std::size_t>(max_id) + 1, kNoRank);
    for (std::uint32_t id : flat_pairs)
      if (rank_[id] == kNoRank) rank_[id] = static_cast<std::uint32_t>(n_ranked_++);
  }
  if (!rank_.empty() && n_ranked_ * n_ranked_ <= kMaxMatrixBits) {
    use_matrix_ = true;
    matrix_.assign((n_ranked_ * n_ranked_ + 63) / 64, 0);
  } else {
    release(rank_);
    reserve_safely(keys_, n);  // room for every pair: the inserts below never allocate
  }
  for (std::size_t p = 0; p < n; ++p) {
    std::uint32_t a = flat_pairs[2 * p], b = flat_pairs[2 * p + 1];
    if (a > b) std::swap(a, b);
    if (use_matrix_) {
      const std::uint64_t bit = static_cast<std::uint64_t>(rank_[a]) * n_ranked_ + rank_[b];
      std::uint64_t& word = matrix_[bit >> 6];
      const std::uint64_t mask = std::uint64_t{1} << (bit & 63);
      if (!(word & mask)) ++n_pairs_;
      word |= mask;
    } else if (keys_.insert((static_cast<std::uint64_t>(a) << 32) | b).second) {
      ++n_pairs_;
    }
  }
}

}  // namespace tallyfold
