#include "pairs/pair_out.hpp"

namespace tallyfold {

void PairOut::resize(std::size_t rows) {
  item_A.resize(rows);
  item_B.resize(rows);
  instances.resize(rows);
  for (auto* column : {&support, &confidence, &lift, &conviction, &leverage, &cosine, &jaccard})
    column->resize(rows);
}

}  // namespace tallyfold
