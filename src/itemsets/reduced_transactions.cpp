#include "itemsets/reduced_transactions.hpp"

#include "common/cancel.hpp"
#include "common/weight_cap.hpp"

namespace tallyfold {

namespace {
// Transactions reduced between two looks at the cancellation flag: well under a millisecond.
constexpr std::uint32_t kTransactionsPerCancelCheck = 1 << 14;
}  // namespace

std::vector<std::uint8_t> frequent_item_flags(const ItemsetTable& frequent, std::uint32_t n_items) {
  std::vector<std::uint8_t> flags(n_items, 0);
  for (std::size_t r = 0; r < frequent.size(); ++r)
    for (std::uint32_t item : frequent.row(r))
      if (item < n_items) flags[item] = 1;
  return flags;
}

ReducedTransactions reduce_transactions(const InvertedIndex& index,
                                        const std::vector<std::uint8_t>& item_flags, std::size_t k,
                                        std::span<const double> weights,
                                        std::optional<std::uint64_t> cap) {
  ReducedTransactions reduced;
  reduced.item_space = index.item_space;
  const std::uint32_t n = index.n_transactions;
  reduced.begin.assign(n, 0);
  reduced.length.assign(n, 0);
  reduced.items.reserve(index.txn_items.size() / 2);
  for (std::uint32_t t = 0; t < n; ++t) {
    if (t % kTransactionsPerCancelCheck == 0) throw_if_cancelled();
    const auto start = static_cast<std::uint32_t>(reduced.items.size());
    for (std::uint32_t item : index.items_of(t))
      if (item_flags[item]) reduced.items.push_back(item);
    const std::size_t length = reduced.items.size() - start;
    if (length < k || length == 0) {
      reduced.items.resize(start);
      continue;
    }
    std::size_t kept_length = length;
    if (cap) kept_length = cap_by_weight(reduced.items.data() + start, length, weights, *cap);
    reduced.items.resize(start + kept_length);
    reduced.begin[t] = start;
    reduced.length[t] = static_cast<std::uint32_t>(kept_length);
    if (kept_length > 0) reduced.kept.push_back(t);
  }
  return reduced;
}

}  // namespace tallyfold
