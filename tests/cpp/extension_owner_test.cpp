// Two ways of telling which anchor keeps an extension met from several anchors: masks over
// the level's items (a few word operations per anchor) and a test per candidate. Whichever
// the level gets, each anchor must keep exactly the same extensions, on random anchors with
// pairs missing, with no pair check, and across more than one word of items.
#include <algorithm>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/itemset_table.hpp"
#include "common/pair_set.hpp"
#include "itemsets/anchor_extend.hpp"
#include "itemsets/extension_masks.hpp"
#include "itemsets/extension_owner.hpp"

using namespace tallyfold;

namespace {

// Every anchor of `width` random items below `n_items`, and for every item x outside it
// whose pairs with the anchor hold: does the per-candidate test agree with the masks? Also
// checks that each k-itemset reached at all is kept by exactly one anchor.
bool agree(std::size_t width, std::uint32_t n_items, std::size_t n_anchors, double pair_share,
           bool no_pairs, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> item(0, n_items - 1);
  std::bernoulli_distribution keep_pair(pair_share);
  std::vector<std::uint32_t> flat_pairs;
  if (!no_pairs)
    for (std::uint32_t a = 0; a < n_items; ++a)
      for (std::uint32_t b = a + 1; b < n_items; ++b)
        if (keep_pair(rng)) flat_pairs.insert(flat_pairs.end(), {a, b});
  const PairSet pairs = no_pairs ? PairSet() : PairSet(flat_pairs);
  ItemsetTable anchors(width);
  std::vector<std::uint32_t> row;
  while (anchors.size() < n_anchors) {
    row.clear();
    while (row.size() < width) {
      const std::uint32_t x = item(rng);
      if (std::find(row.begin(), row.end(), x) == row.end()) row.push_back(x);
    }
    std::sort(row.begin(), row.end());
    anchors.insert(row, 1);
  }
  std::vector<std::uint32_t> rows(anchors.size()), items(n_items);
  for (std::uint32_t r = 0; r < rows.size(); ++r) rows[r] = r;
  for (std::uint32_t i = 0; i < n_items; ++i) items[i] = i;
  const auto masks = ExtensionMasks::build(anchors, rows, items, n_items, pairs, 1 << 26);
  if (!masks) return false;
  const ExtensionOwners owners(anchors, pairs, n_items);
  ExtensionMasks::Anchor masked(*masks, width);
  std::vector<std::uint32_t> candidate, rest;
  ItemsetTable kept(width + 1), reached(width + 1);
  std::size_t n_kept = 0;
  for (std::size_t r = 0; r < anchors.size(); ++r) {
    const auto anchor = anchors.row(r);
    masked.load(anchor);
    for (std::uint32_t x = 0; x < n_items; ++x) {
      bool reaches = !anchor_holds(anchor, x) && (pairs.empty() || pairs_hold(anchor, x, pairs));
      const std::size_t position = form_candidate(anchor, x, candidate);
      const bool keeps = reaches && owners.keeps(candidate, position, rest);
      if (reaches) reached.insert(candidate, 1);
      if (keeps != masked.owns(x)) return false;
      if (keeps) {
        ++n_kept;
        if (!kept.insert(candidate, 1)) return false;  // kept by a second anchor
      }
    }
  }
  return n_kept > 0 && n_kept == reached.size();
}

}  // namespace

int main() {
  CHECK(agree(2, 12, 40, 0.7, false, 1));
  CHECK(agree(3, 20, 300, 0.8, false, 2));
  CHECK(agree(4, 90, 900, 0.9, false, 3));   // two words of items
  CHECK(agree(3, 16, 200, 1.0, true, 4));    // no pair check
  CHECK(agree(1, 30, 20, 0.5, false, 5));    // single-item anchors
  CHECK(agree(5, 11, 300, 0.95, false, 6));  // dense: most rests are anchors
  return check_failures() == 0 ? 0 : 1;
}
