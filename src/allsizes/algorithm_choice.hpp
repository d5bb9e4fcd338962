#pragma once
// The counter "auto" runs.
//
// Eclat, whatever the shape of the data: no shape was found where another counter is
// faster. Seconds for every frequent itemset (best of 3, 2 cores), Eclat against the fastest
// level-wise counter:
//   sparse, many items:   retail 0.001 (7.6k itemsets)       0.105 vs 0.183 (classic)
//                         T10I4D100K 0.001 (27.5k)           0.175 vs 0.573 (classic)
//                         synthetic 1M rows 0.0002 (75.6k)   0.368 vs 0.811 (classic)
//   sparse, few items:    groceries count 10 (13.5k)         0.009 vs 0.029 (classic)
//   dense, deep:          mushroom 0.1 (574k, 16 items)      0.193 vs 0.303 (v6_gating)
//                         chess 0.6 (255k, 13 items)         0.020 vs 0.096 (v6_gating)
//                         chess 0.8, mushroom 0.3 (3-8k)     0.001-0.002 vs 0.003-0.009
// Shallow searches narrow the gap but do not close it: with max_len 2 Eclat takes 0.071 s on
// retail 0.0005 against 0.098 (v6_gating), 0.066 against 0.081 on T10I4D100K 0.0005, and
// ties on groceries; with max_len 1 every counter only reads the item counts.

#include "allsizes/all_sizes.hpp"

namespace tallyfold {

inline constexpr Algorithm kAutomaticAlgorithm = Algorithm::Eclat;

}  // namespace tallyfold
