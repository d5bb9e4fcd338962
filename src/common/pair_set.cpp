#include "common/pair_set.hpp"

#include <algorithm>

#include "common/hash_growth.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

PairSet::PairSet(const std::vector<std::uint32_t>& flat_pairs) {
  *this = of_pairs([&](auto&& emit) {
    for (std::size_t p = 0; p + 1 < flat_pairs.size(); p += 2) emit(flat_pairs[p], flat_pairs[p + 1]);
  });
}

void PairSet::choose_layout(std::size_t pairs) {
  if (!rank_.empty() && n_ranked_ * n_ranked_ <= kMaxMatrixBits) {
    use_matrix_ = true;
    matrix_.assign((n_ranked_ * n_ranked_ + 63) / 64, 0);
  } else {
    release(rank_);
    reserve_safely(keys_, pairs);  // room for every pair: the inserts never allocate
  }
}

void PairSet::add(std::uint32_t a, std::uint32_t b) {
  if (a > b) std::swap(a, b);
  if (use_matrix_) {
    const auto set = [&](std::uint64_t row, std::uint64_t column) {
      const std::uint64_t bit = row * n_ranked_ + column;
      std::uint64_t& word = matrix_[bit >> 6];
      const std::uint64_t mask = std::uint64_t{1} << (bit & 63);
      const bool was_set = word & mask;
      word |= mask;
      return was_set;
    };
    if (!set(rank_[a], rank_[b])) ++n_pairs_;
    set(rank_[b], rank_[a]);
  } else if (keys_.insert((static_cast<std::uint64_t>(a) << 32) | b).second) {
    ++n_pairs_;
  }
}

}  // namespace tallyfold
