#pragma once
// Pair rows stored column-wise, one vector per result key.

#include <cstdint>
#include <vector>

#include "pairs/pair_metrics.hpp"

namespace tallyfold {

struct PairOut {
  std::vector<std::uint32_t> item_A;
  std::vector<std::uint32_t> item_B;
  std::vector<std::uint64_t> instances;
  std::vector<double> support, confidence, lift, conviction, leverage, cosine, jaccard;

  std::size_t size() const { return item_A.size(); }

  void push(std::uint32_t a, std::uint32_t b, std::uint64_t count, const PairMetrics& m) {
    item_A.push_back(a);
    item_B.push_back(b);
    instances.push_back(count);
    support.push_back(m.support);
    confidence.push_back(m.confidence);
    lift.push_back(m.lift);
    conviction.push_back(m.conviction);
    leverage.push_back(m.leverage);
    cosine.push_back(m.cosine);
    jaccard.push_back(m.jaccard);
  }

  void reserve(std::size_t rows);

  // Concatenates the parts in order: every row of parts[i] precedes every row of parts[i+1].
  static PairOut concat(std::vector<PairOut>& parts);
};

}  // namespace tallyfold
