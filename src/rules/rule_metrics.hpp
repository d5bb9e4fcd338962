#pragma once
// The interest measures of a rule X -> Y from three supports: s(X), s(Y) and s(X u Y).
// Division by zero follows IEEE arithmetic (inf or NaN) except where a measure defines its
// own value for it, as the common Python tools for association rules do: conviction is inf
// unless confidence is below 1, Zhang's metric is 0 when its denominator is 0, certainty is
// 0 when s(Y) = 1. Given the number of transactions N, confidence and Kulczynski are
// computed as (s(X u Y) * N) / (s(X) * N), as those tools do, so that a value sitting exactly
// on a threshold rounds to the same side.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

namespace tallyfold {

// The output columns, in order.
enum RuleColumn : std::size_t {
  kAntecedentSupport,
  kConsequentSupport,
  kSupport,
  kConfidence,
  kLift,
  kRepresentativity,
  kLeverage,
  kConviction,
  kZhangsMetric,
  kJaccard,
  kCertainty,
  kKulczynski,
  kCosine,
  kRuleColumns,
};

inline constexpr std::string_view kRuleColumnNames[kRuleColumns] = {
    "antecedent support", "consequent support", "support",       "confidence", "lift",
    "representativity",   "leverage",           "conviction",    "zhangs_metric",
    "jaccard",            "certainty",          "kulczynski",    "cosine"};

// The measures a rule may be filtered on, by the names callers use.
inline constexpr std::pair<std::string_view, RuleColumn> kRuleMetrics[] = {
    {"support", kSupport},       {"confidence", kConfidence},
    {"lift", kLift},             {"leverage", kLeverage},
    {"conviction", kConviction}, {"zhangs_metric", kZhangsMetric},
    {"jaccard", kJaccard},       {"certainty", kCertainty},
    {"kulczynski", kKulczynski}, {"cosine", kCosine},
    {"representativity", kRepresentativity}};

inline std::optional<RuleColumn> rule_metric_by_name(std::string_view name) {
  for (const auto& [known, column] : kRuleMetrics)
    if (known == name) return column;
  return std::nullopt;
}

using RuleValues = std::array<double, kRuleColumns>;

// Every measure; `n` is the number of transactions, or 1 when it is not known (the ratios do
// not depend on it beyond rounding).
inline RuleValues rule_values(double s_x, double s_y, double s_xy, double n) {
  RuleValues v;
  v[kAntecedentSupport] = s_x;
  v[kConsequentSupport] = s_y;
  v[kSupport] = s_xy;
  const double confidence = (s_xy * n) / (s_x * n);
  v[kConfidence] = confidence;
  v[kLift] = confidence / s_y;
  v[kRepresentativity] = 1.0;  // no transaction has unknown items
  const double leverage = s_xy - s_x * s_y;
  v[kLeverage] = leverage;
  v[kConviction] =
      confidence < 1.0 ? (1.0 - s_y) / (1.0 - confidence) : std::numeric_limits<double>::infinity();
  const double a = s_xy * (1.0 - s_x), b = s_x * (s_y - s_xy);
  const double zhang_denominator =
      std::isnan(a) || std::isnan(b) ? std::numeric_limits<double>::quiet_NaN() : std::max(a, b);
  v[kZhangsMetric] = zhang_denominator == 0.0 ? 0.0 : leverage / zhang_denominator;
  v[kJaccard] = s_xy / (s_x + s_y - s_xy);
  const double certainty_denominator = 1.0 - s_y;
  v[kCertainty] = certainty_denominator == 0.0 ? 0.0 : (confidence - s_y) / certainty_denominator;
  v[kKulczynski] = ((s_xy * n) / (s_x * n) + (s_xy * n) / (s_y * n)) / 2.0;
  v[kCosine] = s_xy / std::sqrt(s_x * s_y);
  return v;
}

// Only the rule's own support is known (its antecedent or consequent may be missing).
inline RuleValues support_only_values(double s_xy) {
  RuleValues v;
  v.fill(std::numeric_limits<double>::quiet_NaN());
  v[kSupport] = s_xy;
  return v;
}

}  // namespace tallyfold
