#pragma once
// Membership of unordered item pairs, stored (smaller, larger). The pair check asks this
// once per candidate and anchor item, so it is the hottest lookup of the level counters:
// when the pairs' items are few enough, a bit matrix over their ranks answers without
// hashing; otherwise a hash set of packed keys does.

#include <algorithm>
#include <cstdint>
#include <vector>

#include <absl/container/flat_hash_set.h>

namespace tallyfold {

class PairSet {
 public:
  PairSet() = default;
  // `flat_pairs` holds the pairs back to back, in either order; duplicates are harmless.
  explicit PairSet(const std::vector<std::uint32_t>& flat_pairs);

  // The pairs that `for_each_pair(emit)` passes to emit(a, b), in either order and with
  // duplicates; it is called twice and must emit the same pairs both times. No list of the
  // pairs is made: sets of itemsets hold each pair many times over.
  template <class ForEachPair>
  static PairSet of_pairs(ForEachPair&& for_each_pair) {
    PairSet set;
    std::uint32_t max_id = 0;
    std::size_t emitted = 0;
    for_each_pair([&](std::uint32_t a, std::uint32_t b) {
      max_id = std::max({max_id, a, b});
      ++emitted;
    });
    if (emitted == 0) return set;
    if (max_id < kMaxRankedId) {
      set.rank_.assign(static_cast<std::size_t>(max_id) + 1, kNoRank);
      for_each_pair([&](std::uint32_t a, std::uint32_t b) {
        set.rank_once(a);
        set.rank_once(b);
      });
    }
    set.choose_layout(emitted);
    for_each_pair([&](std::uint32_t a, std::uint32_t b) { set.add(a, b); });
    return set;
  }

  bool empty() const { return n_pairs_ == 0; }
  std::size_t size() const { return n_pairs_; }

  // The matrix holds each pair both ways, so the row read is always the first item's: a
  // caller testing one item against many reads one row, which stays in cache.
  bool contains(std::uint32_t a, std::uint32_t b) const {
    if (use_matrix_) {
      if (a >= rank_.size() || b >= rank_.size()) return false;
      const std::uint32_t ra = rank_[a], rb = rank_[b];
      if (ra == kNoRank || rb == kNoRank) return false;
      const std::uint64_t bit = static_cast<std::uint64_t>(ra) * n_ranked_ + rb;
      return (matrix_[bit >> 6] >> (bit & 63)) & 1;
    }
    if (a > b) std::swap(a, b);
    return keys_.contains((static_cast<std::uint64_t>(a) << 32) | b);
  }

 private:
  static constexpr std::uint32_t kNoRank = 0xFFFFFFFFu;
  // A bit matrix of this many bits (32 MiB) or fewer is cheaper than hashing.
  static constexpr std::uint64_t kMaxMatrixBits = std::uint64_t{1} << 28;
  // The rank table is indexed by item id; ids beyond this go to the hash set instead.
  static constexpr std::uint32_t kMaxRankedId = 1u << 26;

  void rank_once(std::uint32_t id) {
    if (rank_[id] == kNoRank) rank_[id] = static_cast<std::uint32_t>(n_ranked_++);
  }
  // The bit matrix when the ranked items allow it, else a hash set with room for `pairs`.
  void choose_layout(std::size_t pairs);
  void add(std::uint32_t a, std::uint32_t b);

  std::size_t n_pairs_ = 0;
  bool use_matrix_ = false;
  std::uint64_t n_ranked_ = 0;
  std::vector<std::uint32_t> rank_;     // item id -> rank among the pairs' items
  std::vector<std::uint64_t> matrix_;   // row-major n_ranked x n_ranked bits, symmetric
  absl::flat_hash_set<std::uint64_t> keys_;
};

}  // namespace tallyfold
