#include "itemsets/frequent_pairs_on_bitsets.hpp"

#include <vector>

#include "common/bitset_kernels.hpp"
#include "common/cancel.hpp"
#include "common/min_count.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

std::optional<FrequentPairs> frequent_pairs_on_bitsets(const InvertedIndex& index,
                                                       double min_support) {
  if (index.n_transactions == 0 || index.n_transactions > tuning::kBitsetMaxTransactions)
    return std::nullopt;
  const std::uint64_t min_count = min_count_u64(min_support, index.n_transactions, 1);
  std::vector<std::uint32_t> frequent;
  double entries = 0;  // index entries of the frequent items
  for (std::uint32_t i = 0; i < index.item_space; ++i)
    if (index.item_counts[i] > 0 && index.item_counts[i] >= min_count) {
      frequent.push_back(i);
      entries += index.item_counts[i];
    }
  const double n = static_cast<double>(index.n_transactions);
  const double words = static_cast<double>(bitset_words(index.n_transactions));
  const double f = static_cast<double>(frequent.size());
  // The scan costs the pairs within each transaction's frequent items, at least
  // entries^2 / (2N) when they spread evenly; the bitsets one AND per item pair. The bitsets
  // must also take no more room than twice the frequent items' index lists.
  const double scan = entries * entries / (2 * n);
  const double on_bitsets = f * f / 2 * words * tuning::kPairAndWordCost;
  if (frequent.empty() || on_bitsets > scan || f * words > entries) return std::nullopt;

  const std::size_t w = bitset_words(index.n_transactions);
  std::vector<std::uint64_t> bits(frequent.size() * w, 0);
  for (std::size_t i = 0; i < frequent.size(); ++i)
    set_bits(index.txns_of(frequent[i]), bits.data() + i * w);
  FrequentPairs result;
  std::vector<std::uint32_t> flat;
  // Items ascending and partners ascending: rows in lexicographic order, as the scan gives.
  for (std::size_t i = 0; i < frequent.size(); ++i) {
    throw_if_cancelled();
    for (std::size_t j = i + 1; j < frequent.size(); ++j) {
      const std::uint32_t count = and_count(bits.data() + i * w, bits.data() + j * w, w);
      if (count < min_count) continue;
      const std::uint32_t pair[2] = {frequent[i], frequent[j]};
      result.counts.insert(pair, count);
      flat.insert(flat.end(), pair, pair + 2);
    }
  }
  result.set = PairSet(flat);
  return result;
}

}  // namespace tallyfold
