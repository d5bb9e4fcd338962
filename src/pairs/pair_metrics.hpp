#pragma once
// The seven association metrics of an ordered pair A -> B. Each is evaluated in exactly this
// form: a mathematically equal rearrangement changes the low bits, and callers compare
// results bit for bit across engines.

#include <cmath>
#include <limits>

namespace tallyfold {

struct PairMetrics {
  double support, confidence, lift, conviction, leverage, cosine, jaccard;
};

// co: transactions holding both; n: all transactions; count_a: transactions holding A;
// support_a, support_b: item supports.
inline PairMetrics pair_metrics(double co, double n, double count_a, double support_a,
                                double support_b) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  PairMetrics m;
  m.support = co / n;
  m.confidence = co / count_a;
  m.lift = support_b > 0 ? m.confidence / support_b : kInf;
  // The tests run in this order: a consequent present in every transaction gives NaN even
  // though its confidence is also 1.
  if (support_b >= 1)
    m.conviction = std::numeric_limits<double>::quiet_NaN();
  else if (m.confidence >= 1)
    m.conviction = kInf;
  else
    m.conviction = (1 - support_b) / (1 - m.confidence);
  m.leverage = m.support - support_a * support_b;
  m.cosine = m.support / std::sqrt(support_a * support_b);
  m.jaccard = m.support / (support_a + support_b - m.support);
  return m;
}

}  // namespace tallyfold
