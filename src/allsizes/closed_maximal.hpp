#pragma once
// Closed and maximal itemsets among all frequent ones. An itemset has a proper superset with
// the same count (or a frequent one) exactly when one of its one-item-larger supersets has:
// counts only fall as items are added. So each row marks the rows one item shorter that it
// contains, found by hashing their id sequences, and the unmarked rows are kept.

#include "allsizes/all_sizes.hpp"
#include "common/itemset_csr.hpp"

namespace tallyfold {

// `rows` must hold every frequent itemset of its lengths 1 .. L (a row's one-item-smaller
// subsets are rows too); "superset" then means a superset of length at most L. Keeps the row
// order. Target::All returns the rows unchanged.
ItemsetCsr keep_target(ItemsetCsr&& rows, Target target);

}  // namespace tallyfold
