// Candidate generation and counting of the classic miner, below the Python surface: the
// prune's exact candidate set, and the counter against the short-circuit count on every
// strategy (bitsets, lists, walk, projection) and on both sides of the 500-candidate switch.
#include "classic/candidates.hpp"
#include "classic/transaction_index.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "check.hpp"

using namespace tallyfold;

namespace {

using Itemset = std::vector<std::uint32_t>;

ItemsetTable table_of(std::size_t width, const std::vector<Itemset>& rows) {
  ItemsetTable t(width);
  for (const Itemset& r : rows) t.insert(r, 1);
  return t;
}

std::vector<Itemset> candidate_list(const CandidateRuns& c) {
  std::vector<Itemset> out;
  for (std::size_t run = 0; run < c.runs(); ++run)
    for (std::uint32_t e : c.extensions_of(run)) {
      Itemset s(c.prefix(run).begin(), c.prefix(run).end());
      s.push_back(e);
      out.push_back(s);
    }
  return out;
}

std::map<Itemset, std::uint32_t> as_map(const ItemsetTable& t) {
  std::map<Itemset, std::uint32_t> out;
  for (std::size_t i = 0; i < t.size(); ++i)
    out[Itemset(t.row(i).begin(), t.row(i).end())] = t.count(i);
  return out;
}

// Random baskets over items 0..n_items-1, each item in a basket with probability p.
TransactionIndex random_index(std::uint32_t n_txn, std::uint32_t n_items, double p,
                              std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::bernoulli_distribution holds(p);
  std::vector<std::int64_t> txn;
  std::vector<std::int32_t> item;
  for (std::uint32_t t = 0; t < n_txn; ++t)
    for (std::uint32_t i = 0; i < n_items; ++i)
      if (holds(rng)) {
        txn.push_back(t);
        item.push_back(static_cast<std::int32_t>(i));
      }
  return TransactionIndex::build_with_cap(txn, item, std::nullopt, std::nullopt);
}

// The first `n` candidates of `c`, as runs again.
CandidateRuns first_candidates(const CandidateRuns& c, std::size_t n) {
  CandidateRuns out;
  out.width = c.width;
  for (std::size_t run = 0; run < c.runs() && n > 0; ++run) {
    auto ext = c.extensions_of(run);
    ext = ext.first(std::min(ext.size(), n));
    out.add_run(c.prefix(run), ext);
    n -= ext.size();
  }
  return out;
}

// Counts every candidate and checks it against count_support_sc: found exactly when that
// gives a count, with that count. Items are slots; the test indexes use ids equal to slots.
// `reference` is the same data on lists: building bitsets gives up an index's lists.
void check_against_short_circuit(const TransactionIndex& index, const TransactionIndex& reference,
                                 const CandidateRuns& c, std::uint32_t min_count) {
  const auto found = as_map(count_candidates_parallel(index, c, min_count));
  std::size_t expected = 0;
  for (const Itemset& s : candidate_list(c)) {
    const auto count = reference.count_support_sc(s, min_count);
    expected += count.has_value();
    auto it = found.find(s);
    CHECK((it != found.end()) == count.has_value());
    if (it != found.end() && count) CHECK(it->second == *count);
  }
  CHECK(found.size() == expected);
}

}  // namespace

int main() {
  // Join and prune: {1,2}+{1,3} join under prefix [1]; [2,4] has no partner. [1,2,3] survives
  // only when [2,3] is frequent; [2,3,4] then needs [3,4] and is dropped.
  {
    CHECK(candidate_list(generate_candidates(table_of(2, {{1, 2}, {1, 3}, {2, 4}}))).empty());
    const auto c = generate_candidates(table_of(2, {{2, 4}, {1, 3}, {2, 3}, {1, 2}}));
    CHECK((candidate_list(c) == std::vector<Itemset>{{1, 2, 3}}));
    // Width 1: every pair, in join order.
    CHECK((candidate_list(generate_candidates(table_of(1, {{7}, {3}, {5}}))) ==
           std::vector<Itemset>{{3, 5}, {3, 7}, {5, 7}}));
    // Level 4: [1,2,3,4] needs [1,3,4] and [2,3,4] besides the joined [1,2,3] and [1,2,4].
    const std::vector<Itemset> three{{1, 2, 3}, {1, 2, 4}, {1, 3, 4}, {2, 3, 4}, {1, 2, 5}};
    CHECK((candidate_list(generate_candidates(table_of(3, three))) ==
           std::vector<Itemset>{{1, 2, 3, 4}}));
    CHECK(candidate_list(generate_candidates(table_of(3, {three[0], three[1], three[2]})))
              .empty());
  }

  // Sparse and dense data, with and without bitsets, levels 2 and 3, on both sides of the
  // sequential limit: every path gives what count_support_sc gives.
  struct Shape {
    std::uint32_t n_txn, n_items;
    double p;
    std::uint32_t min_count;
  };
  for (const Shape shape : {Shape{1500, 40, 0.08, 3}, Shape{200, 34, 0.5, 22}}) {
    for (bool bitsets : {false, true}) {
      TransactionIndex index = random_index(shape.n_txn, shape.n_items, shape.p, shape.n_items);
      const TransactionIndex lists = random_index(shape.n_txn, shape.n_items, shape.p, shape.n_items);
      CHECK(index.n_items() == shape.n_items);  // ids equal slots
      if (bitsets) index.build_bitsets();
      ItemsetTable singles(1);
      for (std::uint32_t s = 0; s < index.n_items(); ++s) {
        const std::uint32_t row[1] = {s};
        singles.insert(row, index.count(s));
      }
      const CandidateRuns pairs = generate_candidates(singles);
      CHECK(pairs.size() > 501);
      check_against_short_circuit(index, lists, pairs, shape.min_count);
      const auto below = as_map(count_candidates_parallel(index, first_candidates(pairs, 500),
                                                          shape.min_count));
      auto above = as_map(count_candidates_parallel(index, first_candidates(pairs, 501),
                                                    shape.min_count));
      const Itemset last_pair = candidate_list(first_candidates(pairs, 501)).back();
      above.erase(last_pair);
      CHECK(below == above);

      // Levels 3 and 4: prefixes of two and three items take the shared-prefix paths.
      ItemsetTable level = count_candidates_parallel(index, pairs, shape.min_count);
      for (std::size_t k = 3; k <= 4; ++k) {
        const CandidateRuns next = generate_candidates(level);
        CHECK(next.size() > 0);
        check_against_short_circuit(index, lists, next, shape.min_count);
        level = count_candidates_parallel(index, next, shape.min_count);
      }
    }
  }

  return check_failures() == 0 ? 0 : 1;
}
