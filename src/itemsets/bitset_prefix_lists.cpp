#include "itemsets/bitset_prefix_lists.hpp"

#include "common/cancel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

std::optional<ItemBitsets> ItemBitsets::build(const InvertedIndex& index,
                                               const std::vector<std::uint8_t>& flags,
                                               std::size_t min_items, std::size_t budget_bytes) {
  if (index.n_transactions == 0 || index.n_transactions > tuning::kBitsetMaxTransactions)
    return std::nullopt;
  std::size_t n_flagged = 0;
  std::uint64_t listed = 0;
  for (std::uint32_t item = 0; item < flags.size(); ++item)
    if (flags[item]) {
      ++n_flagged;
      listed += index.item_count(item);
    }
  // Whether bitsets pay is judged on all the transactions: the transactions that are not
  // covered only make them smaller once chosen.
  const std::size_t all_words = bitset_words(index.n_transactions);
  if (n_flagged == 0 || n_flagged * all_words * sizeof(std::uint64_t) > budget_bytes ||
      static_cast<double>(listed) < static_cast<double>(n_flagged * all_words) * tuning::kListPerAndWord)
    return std::nullopt;
  // How many flagged items each transaction holds, counted along the flagged items' lists,
  // then in the same array each covered transaction's number (kNotCovered for the others).
  // Bitsets are made for at most 2^16 transactions, so 16 bits hold a number or an id; a
  // count saturates there, far above any level's width.
  constexpr std::uint16_t kNotCovered = 0xFFFF;
  std::vector<std::uint16_t> number_of(index.n_transactions, 0);
  for (std::uint32_t item = 0; item < flags.size(); ++item)
    if (flags[item])
      for (std::uint32_t t : index.txns_of(item)) number_of[t] += number_of[t] != kNotCovered;
  std::uint32_t n_covered = 0;
  for (std::uint16_t& held : number_of) {
    const bool covered = held >= min_items;
    held = covered ? static_cast<std::uint16_t>(n_covered) : kNotCovered;
    n_covered += covered;
  }
  const bool all_covered = n_covered == index.n_transactions;
  const std::size_t words = bitset_words(n_covered);
  ItemBitsets b;
  b.words_ = words;
  // Items that are not flagged get the slot past the last: the fill below sets their bits
  // in one row more, which nothing reads, rather than take a branch per item.
  b.slot_.assign(index.item_space, static_cast<std::uint32_t>(n_flagged));
  std::uint32_t slot = 0;
  for (std::uint32_t item = 0; item < flags.size(); ++item)
    if (flags[item]) b.slot_[item] = slot++;
  if (all_covered) {
    b.bits_.assign(n_flagged * words, 0);
    for (std::uint32_t item = 0; item < flags.size(); ++item) {
      if (!flags[item]) continue;
      throw_if_cancelled_every(item);
      set_bits(index.txns_of(item), b.bits_.data() + std::size_t{b.slot_[item]} * words);
    }
    return b;
  }
  // The covered transactions set their items' bits row by row, so that those not covered
  // are skipped a transaction at a time.
  b.bits_.assign((n_flagged + 1) * words, 0);
  b.transaction_of_.resize(n_covered);
  std::uint64_t* const bits = b.bits_.data();
  const std::uint32_t* const slots = b.slot_.data();
  for (std::uint32_t t = 0; t < index.n_transactions; ++t) {
    throw_if_cancelled_every(t);
    const std::uint16_t number = number_of[t];
    if (number == kNotCovered) continue;
    b.transaction_of_[number] = static_cast<std::uint16_t>(t);
    const std::uint64_t bit = std::uint64_t{1} << (number & 63);
    for (std::uint32_t item : index.items_of(t))
      bits[std::size_t{slots[item]} * words + (number >> 6)] |= bit;
  }
  return b;
}

}  // namespace tallyfold
