#include "itemsets/flat_memo.hpp"

#include <algorithm>
#include <bit>

#include "common/panic.hpp"

namespace tallyfold {

FlatSets::FlatSets(std::uint32_t n_transactions, bool adaptive)
    : n_transactions_(n_transactions),
      bitmap_words_((static_cast<std::size_t>(n_transactions) + 31) / 32),
      adaptive_(adaptive) {}

void FlatSets::write(std::uint32_t* out, std::span<const std::uint32_t> tids) const {
  if (!as_bitset(tids.size())) {
    std::copy(tids.begin(), tids.end(), out);
    return;
  }
  std::fill(out, out + bitmap_words_, 0u);
  for (const std::uint32_t t : tids) {
    if (t >= n_transactions_) panic_index_out_of_bounds(n_transactions_, t);
    out[t >> 5] |= std::uint32_t{1} << (t & 31);
  }
}

void FlatSets::append(std::span<const std::uint32_t> tids) {
  const std::size_t words = stored_words(tids.size());
  const std::size_t at = words_.size();
  words_.resize(at + words);
  write(words_.data() + at, tids);
  offsets_.push_back(words_.size());
}

void FlatSets::append_all(FlatSets& other) {
  const std::uint64_t base = words_.size();
  words_.insert(words_.end(), other.words_.begin(), other.words_.end());
  offsets_.reserve(offsets_.size() + other.size());
  for (std::size_t r = 1; r < other.offsets_.size(); ++r)
    offsets_.push_back(base + other.offsets_[r]);
  other = FlatSets(n_transactions_, adaptive_);
}

std::span<const std::uint32_t> FlatSets::walk(std::size_t r,
                                              std::vector<std::uint32_t>& buffer) const {
  const std::uint32_t* begin = words_.data() + offsets_[r];
  const std::size_t words = offsets_[r + 1] - offsets_[r];
  if (!as_bitset(words)) return {begin, words};
  buffer.clear();
  for (std::size_t w = 0; w < words; ++w)
    for (std::uint32_t bits = begin[w]; bits != 0; bits &= bits - 1)
      buffer.push_back(static_cast<std::uint32_t>(w * 32 + std::countr_zero(bits)));
  return buffer;
}

PairGroupSets::PairGroupSets(std::uint32_t item_space) : slot_(item_space, 0) {}

void PairGroupSets::make(const InvertedIndex& index, std::uint32_t prefix,
                         std::span<const std::uint32_t> siblings,
                         std::span<const std::uint32_t> counts) {
  const std::size_t n = siblings.empty() ? 0 : siblings.size() - 1;
  begin_.resize(n);
  end_.resize(n);
  // The pair counts give every list's length up front: each starts where the previous ends.
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    slot_[siblings[i]] = static_cast<std::uint32_t>(i + 1);
    begin_[i] = end_[i] = at;
    at += counts[i];
  }
  if (tids_.size() < at) tids_.resize(at);
  if (n > 0) {
    const std::uint32_t lowest = siblings.front();
    for (const std::uint32_t t : index.txns_of(prefix)) {
      const auto items = index.items_of(t);
      for (auto it = std::lower_bound(items.begin(), items.end(), lowest); it != items.end(); ++it)
        if (const std::uint32_t s = slot_[*it]) tids_[end_[s - 1]++] = t;
    }
  }
  for (std::size_t i = 0; i < n; ++i) slot_[siblings[i]] = 0;
}

}  // namespace tallyfold
