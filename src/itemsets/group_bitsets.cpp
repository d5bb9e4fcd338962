#include "itemsets/group_bitsets.hpp"

#include <algorithm>

#include "common/bitset_kernels.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

bool GroupBitsets::pay_off(std::uint32_t prefix_count, std::span<const std::uint32_t> counts,
                           std::size_t from) {
  const std::size_t n = counts.size();
  if (n < 2 || from + 1 >= n) return false;
  const std::size_t words = bitset_words(prefix_count);
  double entries = 0;
  for (const std::uint32_t c : counts) entries += c;
  // A bitset per sibling against a list per pair: past a small allowance the bitsets may take
  // only a few times the lists' bytes, or a common prefix item with many rare siblings would
  // hold its whole transaction count in bits per sibling.
  const double bitset_bytes = static_cast<double>(n * words * sizeof(std::uint64_t));
  if (bitset_bytes > static_cast<double>(tuning::kEclatBitsetFreeBytes) &&
      bitset_bytes > tuning::kEclatBitsetMaxMemoryRatio * entries * sizeof(std::uint32_t))
    return false;
  // A walk reads, for every transaction of an anchor's set, the siblings of its row (about
  // the siblings per transaction of the prefix item, and one step for the row itself); the
  // ANDs cost one pass of the words per pair of anchor and later sibling, after one pass
  // over the rows to set the bits.
  const double per_row = entries / std::max<double>(1, prefix_count) + 1;
  double walk = 0, ands = 0;
  for (std::size_t i = from; i + 1 < n; ++i) {
    walk += static_cast<double>(counts[i]) * per_row;
    ands += static_cast<double>(n - 1 - i);
  }
  const double as_bits = entries + ands * static_cast<double>(words) * and_word_cost();
  return as_bits < walk * tuning::kEclatDeliveryCost;
}

void GroupBitsets::build(const InvertedIndex& index, const ReducedTransactions& reduced,
                         std::uint32_t prefix, std::span<const std::uint32_t> siblings,
                         std::span<const std::uint32_t> counts) {
  for (std::size_t j = 0; j < siblings.size(); ++j)
    slot_[siblings[j]] = static_cast<std::uint32_t>(j + 1);
  // The rows' sibling slots first, so that the bitsets are sized by the rows kept: a row
  // with one sibling extends no anchor of the group. Every sibling of a row is one
  // transaction of its pair, so the pair counts bound the slots; each item is written
  // before it is known to be a sibling, one entry past them at most.
  std::size_t bound = 1;
  for (const std::uint32_t c : counts) bound += c;
  if (row_slots_.size() < bound) row_slots_.resize(bound);
  const auto txns = index.txns_of(prefix);
  row_end_.resize(txns.size() + 1);
  row_end_[0] = 0;
  std::uint32_t* row_slots = row_slots_.data();
  const std::uint32_t lowest = siblings.empty() ? 0 : siblings.front();
  std::size_t filled = 0, rows = 0;
  for (const std::uint32_t t : txns) {
    std::size_t end = filled;
    for (const std::uint32_t item : items_from(reduced.items_of(t), lowest)) {
      const std::uint32_t s = slot_[item];
      row_slots[end] = s - 1;
      end += s != 0;
    }
    if (end - filled < 2) continue;
    row_end_[++rows] = static_cast<std::uint32_t>(end);
    filled = end;
  }
  for (const std::uint32_t item : siblings) slot_[item] = 0;
  words_ = bitset_words(static_cast<std::uint32_t>(rows));
  const std::size_t total = siblings.size() * words_;
  if (bits_.size() < total) bits_.resize(total);
  std::fill_n(bits_.data(), total, std::uint64_t{0});
  std::uint64_t* bits = bits_.data();
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint64_t bit = std::uint64_t{1} << (r % 64);
    for (std::uint32_t p = row_end_[r]; p < row_end_[r + 1]; ++p)
      bits[row_slots[p] * words_ + r / 64] |= bit;
  }
}

}  // namespace tallyfold
