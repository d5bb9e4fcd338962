// Internals of the classic miner's index that the Python surface cannot reach: caller
// transaction ids and their order, the cap's "both or nothing" rule, the emptied transactions
// that still count, and the short-circuit support count.
#include "classic/transaction_index.hpp"
#include "common/panic.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"

using namespace tallyfold;

namespace {

using Ids = std::vector<std::int64_t>;
using Items = std::vector<std::int32_t>;

// The caller ids holding `item`, read back through the index.
std::vector<std::int64_t> caller_ids_of(const TransactionIndex& index, std::uint32_t item) {
  std::vector<std::int64_t> out;
  if (auto slot = index.slot_of(item))
    for (std::uint32_t t : index.tids(*slot)) out.push_back(index.caller_id(t));
  return out;
}

std::vector<std::uint32_t> items_of(const TransactionIndex& index) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t s = 0; s < index.n_items(); ++s) out.push_back(index.item_id(s));
  return out;
}

TransactionIndex build(const Ids& txn, const Items& item,
                       std::optional<std::vector<double>> weights = std::nullopt,
                       std::optional<std::uint64_t> cap = std::nullopt) {
  static std::vector<double> kept;  // outlives the call's span
  std::optional<std::span<const double>> w;
  if (weights) {
    kept = *weights;
    w = kept;
  }
  return TransactionIndex::build_with_cap(txn, item, w, cap);
}

}  // namespace

int main() {
  // Duplicate rows collapse; lists hold caller ids, not positions.
  {
    const auto index = build({10, 10, 10, 5}, {3, 1, 3, 1});
    CHECK(index.n_transactions() == 2);
    CHECK((caller_ids_of(index, 1) == Ids{5, 10}));
    CHECK((caller_ids_of(index, 3) == Ids{10}));
    CHECK((items_of(index) == std::vector<std::uint32_t>{1, 3}));
    // Rarest first: item 3 (count 1) ends the count before item 1 is read.
    const std::uint32_t three_one[] = {3, 1};
    CHECK(!index.count_support_sc(three_one, 2));
    CHECK(index.count_support_sc(three_one, 1) == std::optional<std::uint32_t>(1));
    const std::uint32_t one[] = {1}, absent[] = {1, 7};
    CHECK(index.count_support_sc(one, 2) == std::optional<std::uint32_t>(2));
    CHECK(!index.count_support_sc(absent, 0));  // an item that never occurs
    CHECK(!index.count_support_sc({}, 0));
  }

  // Lists follow signed order of caller ids, whatever the row order and id spread (the second
  // set is too spread out for the direct table and goes through hashing).
  for (const Ids& ids : {Ids{4, -7, 4}, Ids{INT64_MAX, INT64_MIN, INT64_MAX}}) {
    const auto index = build(ids, {2, 2, 9});
    CHECK((caller_ids_of(index, 2) == Ids{ids[1], ids[0]}));
    CHECK((caller_ids_of(index, 9) == Ids{ids[0]}));
  }

  // Negative item ids are large unsigned ids and sort after every non-negative one.
  {
    const auto index = build({1, 1, 1}, {-1, 5, -2147483648});
    CHECK((items_of(index) == std::vector<std::uint32_t>{5, 2147483648u, 4294967295u}));
  }

  // The cap needs both weights and a cap; an emptied transaction still counts.
  {
    const Ids txn{1, 1, 1, 1, 2};
    const Items item{0, 1, 2, 3, 0};
    const std::vector<double> weights{0.1, 0.9, 0.5, 0.9};
    CHECK(build(txn, item, std::nullopt, 2).n_items() == 4);
    CHECK(build(txn, item, weights, std::nullopt).n_items() == 4);
    const auto capped = build(txn, item, weights, 2);
    CHECK((items_of(capped) == std::vector<std::uint32_t>{0, 1, 3}));  // 1 and 3 in txn 1
    CHECK((caller_ids_of(capped, 0) == Ids{2}));
    const auto emptied = build(txn, item, weights, 0);
    CHECK(emptied.n_items() == 0 && emptied.n_transactions() == 2);
  }

  // Narrowing keeps order and counts; the lists of the kept items are untouched.
  {
    auto index = build({1, 1, 2, 2, 3}, {4, 6, 6, 8, 6});
    index.retain_items_reaching(2);
    CHECK((items_of(index) == std::vector<std::uint32_t>{6}));
    CHECK(index.count(0) == 3 && (caller_ids_of(index, 6) == Ids{1, 2, 3}));
    CHECK(index.items_of(0).size() == 1 && index.items_of(1).size() == 1);
  }

  // item_ids shorter than txn_ids: the first row without an item is the fault.
  {
    std::string message;
    try {
      build({1, 1, 2}, {0, 1});
    } catch (const Panic& p) {
      message = p.what();
    }
    CHECK(message == "index out of bounds: the len is 2 but the index is 2");
    CHECK(build({1}, {0, 5, 6}).n_items() == 1);  // extra item ids are never read
  }
  return check_failures() == 0 ? 0 : 1;
}
