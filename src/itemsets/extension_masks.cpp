#include "itemsets/extension_masks.hpp"

#include <algorithm>

#include "common/cancel.hpp"
#include "common/hash_growth.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

std::optional<ExtensionMasks> ExtensionMasks::build(const ItemsetTable& anchors,
                                                    std::span<const std::uint32_t> rows,
                                                    std::span<const std::uint32_t> items,
                                                    std::uint32_t item_space,
                                                    const PairSet& pairs,
                                                    std::size_t budget_bytes) {
  const std::size_t width = anchors.width();
  const unsigned bits = bits_to_hold(item_space);
  if (width == 0 || (width - 1) * bits > 64) return std::nullopt;
  ExtensionMasks m;
  m.item_bits_ = bits;
  m.words_ = (items.size() + 63) / 64;
  const std::size_t mask_bytes = m.words_ * sizeof(std::uint64_t);
  if (items.size() * mask_bytes > budget_bytes) return std::nullopt;
  m.items_.assign(items.begin(), items.end());
  m.rank_.assign(item_space, kNoRank);
  for (std::size_t r = 0; r < items.size(); ++r) m.rank_[items[r]] = static_cast<std::uint32_t>(r);

  // A row per item, each its own: on the pool, since a level of a few thousand items asks
  // the pair set millions of times, which on one thread left the other waiting.
  m.neighbors_.assign(items.size() * m.words_, 0);
  for_each_range(pass_chunks(items.size(), tuning::kParallelMaskItemsMin, 1),
                 [&](std::size_t, IndexRange range) {
    for (std::size_t a = range.begin; a < range.end; ++a) {
      throw_if_cancelled();
      std::uint64_t* row = m.neighbors_.data() + a * m.words_;
      for (std::size_t b = 0; b < items.size(); ++b)
        if (a != b && (pairs.empty() || pairs.contains(items[a], items[b])))
          row[b >> 6] |= std::uint64_t{1} << (b & 63);
    }
  });

  // Each anchor R completes each of its rests R - R[j] with R[j].
  std::size_t used = items.size() * mask_bytes;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    throw_if_cancelled_every(i);
    const auto row = anchors.row(rows[i]);
    for (std::size_t j = 0; j < width; ++j) {
      make_room_for_one(m.completion_of_);
      const auto [it, added] = m.completion_of_.try_emplace(
          m.rest_key(row, j), static_cast<std::uint32_t>(m.completion_of_.size()));
      if (added) {
        used += mask_bytes;
        if (used > budget_bytes) return std::nullopt;
        m.completions_.resize(m.completions_.size() + m.words_, 0);
      }
      const std::uint32_t rank = m.rank_[row[j]];
      m.completions_[std::size_t{it->second} * m.words_ + (rank >> 6)] |= std::uint64_t{1} << (rank & 63);
    }
  }
  return m;
}

void ExtensionMasks::Anchor::load(std::span<const std::uint32_t> anchor) {
  const std::size_t width = anchor.size();
  ranks_.resize(width);
  for (std::size_t i = 0; i < width; ++i) ranks_[i] = masks_.rank_[anchor[i]];
  // Candidates: the items pairing with every anchor item (none of which pairs with itself;
  // one anchor item may pair with another, so they are cleared).
  std::copy_n(masks_.neighbors(ranks_[0]), words_, owned_.data());
  for (std::size_t i = 1; i < width; ++i) {
    const std::uint64_t* n = masks_.neighbors(ranks_[i]);
    for (std::size_t w = 0; w < words_; ++w) owned_[w] &= n[w];
  }
  for (std::uint32_t r : ranks_) owned_[r >> 6] &= ~(std::uint64_t{1} << (r & 63));
  // Blocked rows, from the last anchor item down: row p unites blocked_m for m >= p.
  std::fill_n(blocked_.data() + width * words_, words_, 0);
  for (std::size_t m = width; m-- > 0;) {
    std::uint64_t* row = blocked_.data() + m * words_;
    const std::uint64_t* after = row + words_;
    std::copy_n(after, words_, row);
    const std::uint64_t* pairs_of_m = masks_.neighbors(ranks_[m]);
    bool pairs_with_rest = true;
    for (std::size_t i = 0; i < width && pairs_with_rest; ++i)
      pairs_with_rest = i == m || test(pairs_of_m, ranks_[i]);
    if (!pairs_with_rest) continue;
    const std::uint64_t* completes = masks_.completions(masks_.rest_key(anchor, m));
    if (completes == nullptr) continue;
    for (std::size_t w = 0; w < words_; ++w) row[w] |= completes[w] & pairs_of_m[w];
  }
  // A candidate placed before the anchor's item p (after item p - 1) loses what row p blocks.
  for (std::size_t p = 0; p <= width; ++p) {
    const std::size_t from = p == 0 ? 0 : std::size_t{ranks_[p - 1]} + 1;
    const std::size_t to = p == width ? words_ * 64 : ranks_[p];
    const std::uint64_t* blocked = blocked_.data() + p * words_;
    for (std::size_t bit = from; bit < to;) {
      const std::size_t w = bit >> 6, end = std::min(to, (w + 1) * 64);
      const unsigned lo = bit & 63, span = static_cast<unsigned>(end - bit);
      const std::uint64_t range = (span == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << span) - 1)) << lo;
      owned_[w] &= ~(blocked[w] & range);
      bit = end;
    }
  }
}

}  // namespace tallyfold
