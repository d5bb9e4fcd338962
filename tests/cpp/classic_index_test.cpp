// Internals of the classic index that the Python surface cannot reach: caller transaction ids
// and their order, the cap's "both or nothing" rule, emptied transactions that still count,
// and the short-circuit support count.
#include "classic/transaction_index.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include "check.hpp"
#include "common/panic.hpp"

using namespace tallyfold;

namespace {

using Ids = std::vector<std::int64_t>;

using Numbers = std::vector<std::uint32_t>;

// The numbers of the transactions holding `item`, read back through the index.
Numbers numbers_of(const TransactionIndex& index, std::uint32_t item) {
  Numbers out;
  if (auto slot = index.slot_of(item))
    for (std::uint32_t t : index.tids(*slot)) out.push_back(t);
  return out;
}

TransactionIndex build(const Ids& txn, const std::vector<std::int32_t>& item,
                       std::optional<std::span<const double>> weights = std::nullopt,
                       std::optional<std::uint64_t> cap = std::nullopt) {
  return TransactionIndex::build_with_cap(txn, item, weights, cap);
}

}  // namespace

int main() {
  // Duplicate rows collapse; lists hold transactions in order of first appearance.
  const auto index = build({10, 10, 10, 5}, {3, 1, 3, 1});
  CHECK(index.n_transactions() == 2);
  CHECK((numbers_of(index, 1) == Numbers{0, 1}) && (numbers_of(index, 3) == Numbers{0}));
  // Rarest first: item 3 (count 1) ends the count before item 1 is read.
  const std::uint32_t three_one[] = {3, 1}, one[] = {1}, absent[] = {1, 7};
  CHECK(!index.count_support_sc(three_one, 2));
  CHECK(index.count_support_sc(three_one, 1) == std::optional<std::uint32_t>(1));
  CHECK(index.count_support_sc(one, 2) == std::optional<std::uint32_t>(2));
  CHECK(!index.count_support_sc(absent, 0));  // an item that never occurs
  CHECK(!index.count_support_sc({}, 0));

  // Transactions are numbered in order of first appearance, whatever their ids; the second id
  // set is too spread out for the direct table and goes through hashing.
  for (const Ids& ids : {Ids{4, -7, 4}, Ids{INT64_MAX, INT64_MIN, INT64_MAX}}) {
    const auto spread = build(ids, {2, 2, 9});
    CHECK((numbers_of(spread, 2) == Numbers{0, 1}));
    CHECK((numbers_of(spread, 9) == Numbers{0}));
  }

  // The cap needs both weights and a cap; a transaction it empties still counts.
  const Ids txn{1, 1, 1, 1, 2};
  const std::vector<std::int32_t> item{0, 1, 2, 3, 0};
  const std::vector<double> weights{0.1, 0.9, 0.5, 0.9};
  CHECK(build(txn, item, std::nullopt, 2).n_items() == 4);
  CHECK(build(txn, item, weights, std::nullopt).n_items() == 4);
  CHECK(build(txn, item, weights, 2).n_items() == 3);
  const auto emptied = build(txn, item, weights, 0);
  CHECK(emptied.n_items() == 0 && emptied.n_transactions() == 2);

  // Bitsets replace the lists and rows: counts and bits stay, and a read of the lists or a
  // narrowing that would need them is refused instead of reading freed memory.
  auto dense = build({1, 1, 2, 3, 3}, {0, 1, 0, 0, 1});
  dense.build_bitsets();
  CHECK(dense.has_bitsets() && dense.count(0) == 3 && dense.count(1) == 2);
  CHECK(dense.bitset(1)[0] == 0b101u);
  CHECK(throws<Panic>([&] { dense.tids(0); }));
  CHECK(throws<Panic>([&] { dense.items_of(0); }));
  CHECK(throws<Panic>([&] { dense.retain_items_reaching(3); }));
  dense.retain_items_reaching(1);  // nothing to drop: nothing read
  return check_failures() == 0 ? 0 : 1;
}
