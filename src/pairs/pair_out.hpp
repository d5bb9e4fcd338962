#pragma once
// Pair rows stored column-wise, one vector per result key. Results run to hundreds of
// millions of rows, so the columns sit on large pages (see LargePageVector).

#include <cstdint>

#include "common/large_page_vector.hpp"
#include "pairs/pair_metrics.hpp"

namespace tallyfold {

struct PairOut {
  LargePageVector<std::uint32_t> item_A;
  LargePageVector<std::uint32_t> item_B;
  LargePageVector<std::uint64_t> instances;
  LargePageVector<double> support, confidence, lift, conviction, leverage, cosine, jaccard;

  std::size_t size() const { return item_A.size(); }

  // Sizes every column to `rows` without initialising them; rows are then set by index.
  void resize(std::size_t rows);

  void set(std::size_t row, std::uint32_t a, std::uint32_t b, std::uint64_t count,
           const PairMetrics& m) {
    item_A[row] = a;
    item_B[row] = b;
    instances[row] = count;
    support[row] = m.support;
    confidence[row] = m.confidence;
    lift[row] = m.lift;
    conviction[row] = m.conviction;
    leverage[row] = m.leverage;
    cosine[row] = m.cosine;
    jaccard[row] = m.jaccard;
  }
};

}  // namespace tallyfold
