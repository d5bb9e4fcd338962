#include "rules/rule_generation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "common/cancel.hpp"
#include "common/panic.hpp"
#include "common/parallel.hpp"
#include "common/row_lookup.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

namespace {

constexpr std::size_t kMaxRuleItems = 62;

struct Chunk {
  RuleTable rules;
  std::int64_t first_missing = -1;
};

class RuleWriter {
 public:
  RuleWriter(const RuleRequest& request, const RowLookup& lookup, Chunk& chunk)
      : request_(request),
        lookup_(lookup),
        chunk_(chunk),
        scale_(request.n_transactions > 0 ? static_cast<double>(request.n_transactions) : 1.0) {}

  // All rules of row z; false when a subset is missing (and support_only is off).
  bool rules_of(std::size_t z) {
    const auto row = request_.rows.row(z);
    const std::size_t n = row.size();
    if (n < 2) return true;
    if (n > kMaxRuleItems)
      throw LimitError("itemset row " + std::to_string(z) + " has " + std::to_string(n) +
                       " items; rules are generated for itemsets of at most 62 items");
    const double s_xy = request_.supports[z];
    for (std::size_t size = n - 1; size >= 1; --size) {
      // Antecedent positions in lexicographic order: 0..size-1 first, then the rightmost
      // position that can still move advances and the ones after it follow it closely.
      positions_.resize(size);
      for (std::size_t i = 0; i < size; ++i) positions_[i] = i;
      while (true) {
        x_.clear();
        y_.clear();
        for (std::size_t p = 0, i = 0; p < n; ++p) {
          if (i < size && positions_[i] == p) {
            x_.push_back(row[p]);
            ++i;
          } else {
            y_.push_back(row[p]);
          }
        }
        if (!emit(z, s_xy)) return false;
        std::size_t i = size;
        while (i > 0 && positions_[i - 1] == n - size + (i - 1)) --i;
        if (i == 0) break;
        ++positions_[i - 1];
        for (std::size_t j = i; j < size; ++j) positions_[j] = positions_[j - 1] + 1;
      }
    }
    return true;
  }

 private:
  // The rule x_ -> y_ of row z; false when a subset is missing (and support_only is off).
  bool emit(std::size_t z, double s_xy) {
    const std::uint64_t x_hash = RowLookup::hash_of(x_);
    const auto x = lookup_.find(x_, x_hash);
    const auto y = lookup_.find(y_, lookup_.row_hash(z) - x_hash);
    if (!request_.support_only && (!x || !y)) return false;
    const RuleValues values =
        request_.support_only ? support_only_values(s_xy)
                              : rule_values(request_.supports[*x], request_.supports[*y], s_xy,
                                            scale_);
    if (values[request_.metric] >= request_.min_threshold) {
      RuleTable& out = chunk_.rules;
      out.antecedent.push_back(x ? static_cast<std::int64_t>(*x) : -1);
      out.consequent.push_back(y ? static_cast<std::int64_t>(*y) : -1);
      out.rule.push_back(static_cast<std::int64_t>(z));
      for (std::size_t c = 0; c < kRuleColumns; ++c) out.columns[c].push_back(values[c]);
    }
    return true;
  }

  const RuleRequest& request_;
  const RowLookup& lookup_;
  Chunk& chunk_;
  double scale_;
  std::vector<std::uint32_t> x_, y_;
  std::vector<std::size_t> positions_;
};

template <class T>
void append(std::vector<T>& to, std::vector<T>& from) {
  to.insert(to.end(), from.begin(), from.end());
  std::vector<T>().swap(from);
}

}  // namespace

RuleTable generate_rules(const RuleRequest& request) {
  const std::size_t n_rows = request.rows.size();
  RuleTable table;
  if (n_rows == 0) return table;
  const RowLookup lookup(request.rows);

  // A row of n items has 2^n - 2 rules: chunks are balanced on that.
  const auto ranges = balanced_ranges(n_rows, pool_threads() * tuning::kChunksPerThread,
                                      [&](std::size_t r) {
                                        const std::size_t n = request.rows.row(r).size();
                                        if (n < 2) return 0.0;
                                        return std::ldexp(1.0, static_cast<int>(std::min(n, kMaxRuleItems)));
                                      });
  std::vector<Chunk> chunks = map_ranges<Chunk>(ranges, [&](IndexRange range, Chunk& chunk) {
    RuleWriter writer(request, lookup, chunk);
    for (std::size_t z = range.begin; z < range.end; ++z) {
      // Once per itemset: it yields at least two rules, each with two lookups, beside which
      // the look is small, and one itemset of many items can hold millions of rules.
      throw_if_cancelled();
      if (!writer.rules_of(z)) {
        chunk.first_missing = static_cast<std::int64_t>(z);
        return;
      }
    }
  });
  throw_if_cancelled();  // a cancelled stage leaves chunks unfilled

  for (const Chunk& chunk : chunks)
    if (chunk.first_missing >= 0) {
      table.missing_row = chunk.first_missing;
      return table;
    }
  std::size_t total = 0;
  for (const Chunk& chunk : chunks) total += chunk.rules.size();
  table.antecedent.reserve(total);
  table.consequent.reserve(total);
  table.rule.reserve(total);
  for (auto& column : table.columns) column.reserve(total);
  for (Chunk& chunk : chunks) {
    append(table.antecedent, chunk.rules.antecedent);
    append(table.consequent, chunk.rules.consequent);
    append(table.rule, chunk.rules.rule);
    for (std::size_t c = 0; c < kRuleColumns; ++c) append(table.columns[c], chunk.rules.columns[c]);
  }
  return table;
}

}  // namespace tallyfold
