#pragma once
// Association rules of a table of itemsets with supports: for every row Z of two or more
// items and every non-empty proper subset X of Z, the rule X -> Z \ X, kept when its chosen
// measure reaches a threshold. X and Y = Z \ X are found among the rows by hashing their id
// sequences.
//
// Order: by Z in row order; within Z by antecedent size from |Z| - 1 down to 1, and within a
// size by the antecedent's positions in Z in lexicographic order (the order of
// itertools.combinations over Z's ascending ids). The same for any number of threads: rows
// are cut into consecutive chunks whose outputs join in chunk order.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/itemset_csr.hpp"
#include "rules/rule_metrics.hpp"

namespace tallyfold {

struct RuleRequest {
  ItemsetCsrView rows;            // each row's ids ascending, rows distinct
  std::span<const double> supports;  // one per row
  RuleColumn metric = kConfidence;
  double min_threshold = 0.0;
  // Subsets missing from the table are allowed: their row index is -1 and every column but
  // the support is NaN (for every rule, as the other measures are then not comparable).
  bool support_only = false;
  // The number of transactions behind the supports, when known (0: not known); see
  // rule_values.
  std::uint32_t n_transactions = 0;
};

struct RuleTable {
  std::vector<std::int64_t> antecedent;  // row index of X, or -1
  std::vector<std::int64_t> consequent;  // row index of Y, or -1
  std::vector<std::int64_t> rule;        // row index of Z
  std::array<std::vector<double>, kRuleColumns> columns;
  // Without support_only: the first row Z (in row order) with a subset that is not a row,
  // or -1. When set, the table holds no rules.
  std::int64_t missing_row = -1;

  std::size_t size() const { return rule.size(); }
};

// Runs on the current task arena. Throws LimitError for a row of more than 62 items (its
// rules could not be enumerated anyway).
RuleTable generate_rules(const RuleRequest& request);

}  // namespace tallyfold
