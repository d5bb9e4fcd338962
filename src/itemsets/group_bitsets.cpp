#include "itemsets/group_bitsets.hpp"

#include <algorithm>
#include <cstring>

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
                         std::uint32_t prefix, std::span<const std::uint32_t> siblings) {
  for (std::size_t j = 0; j < siblings.size(); ++j)
    slot_[siblings[j]] = static_cast<std::uint32_t>(j + 1);
  // One scan of the prefix's transactions. A row that holds two siblings or more is the next
  // of the group's rows (a row with one extends no anchor of the group), and its siblings' bits
  // are set at once, in bitsets as long as the prefix's transactions; once the rows are known
  // the bitsets are moved together to their own length. Only a row's slots are held between
  // finding and setting them, where holding every row's would take 4 bytes a pair entry.
  const auto txns = index.txns_of(prefix);
  const std::size_t stride = bitset_words(static_cast<std::uint32_t>(txns.size()));
  const std::size_t n = siblings.size();
  if (bits_.size() < n * stride) bits_.resize(n * stride);
  std::fill_n(bits_.data(), n * stride, std::uint64_t{0});
  std::uint64_t* bits = bits_.data();
  const std::uint32_t lowest = siblings.empty() ? 0 : siblings.front();
  std::uint32_t rows = 0;
  reduced.scan(txns, [&](std::span<const std::uint32_t> items) {
    const auto from = items_from(items, lowest);
    if (row_slots_.size() < from.size()) row_slots_.resize(from.size());
    std::uint32_t* slots = row_slots_.data();
    std::size_t held = 0;
    for (const std::uint32_t item : from) {
      // Written whatever the item, kept by the count: no branch on whether it is a sibling.
      const std::uint32_t s = slot_[item];
      slots[held] = s - 1;
      held += s != 0;
    }
    if (held < 2) return;
    const std::uint64_t bit = std::uint64_t{1} << (rows % 64);
    std::uint64_t* const word = bits + rows / 64;
    for (std::size_t k = 0; k < held; ++k) word[slots[k] * stride] |= bit;
    ++rows;
  });
  for (const std::uint32_t item : siblings) slot_[item] = 0;
  words_ = bitset_words(rows);
  for (std::size_t j = 1; j < n; ++j)  // each moves down, onto words already moved or its own
    std::memmove(bits + j * words_, bits + j * stride, words_ * sizeof(std::uint64_t));
}

}  // namespace tallyfold
