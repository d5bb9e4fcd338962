#include "itemsets/bitset_prefix_lists.hpp"

#include "common/cancel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

std::optional<ItemBitsets> ItemBitsets::build(const InvertedIndex& index,
                                               const std::vector<std::uint8_t>& flags,
                                               std::size_t budget_bytes) {
  if (index.n_transactions == 0 || index.n_transactions > tuning::kBitsetMaxTransactions)
    return std::nullopt;
  const std::size_t words = bitset_words(index.n_transactions);
  std::size_t n_flagged = 0;
  std::uint64_t listed = 0;
  for (std::uint32_t item = 0; item < flags.size(); ++item)
    if (flags[item]) {
      ++n_flagged;
      listed += index.item_count(item);
    }
  if (n_flagged == 0 || n_flagged * words * sizeof(std::uint64_t) > budget_bytes ||
      static_cast<double>(listed) < static_cast<double>(n_flagged * words) * tuning::kListPerAndWord)
    return std::nullopt;
  ItemBitsets b;
  b.words_ = words;
  b.slot_.assign(index.item_space, 0);
  b.bits_.assign(n_flagged * words, 0);
  std::uint32_t slot = 0;
  for (std::uint32_t item = 0; item < flags.size(); ++item) {
    if (!flags[item]) continue;
    throw_if_cancelled_every(item);
    b.slot_[item] = slot;
    set_bits(index.txns_of(item), b.bits_.data() + std::size_t{slot} * words);
    ++slot;
  }
  return b;
}

}  // namespace tallyfold
