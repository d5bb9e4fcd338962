#pragma once
// The pair engine's counter of one anchor's partners: a count per item plus the items in
// order of first touch. Unlike DenseCounter it records the touch without a branch (the item
// is always written to the next slot and the slot is kept only on a first touch), which
// matters when every transaction item of every anchor goes through it: whether an item is
// new is close to a coin flip on sparse data and mispredicts.

#include <cstdint>
#include <memory>

namespace tallyfold {

class PartnerCounter {
 public:
  // The touched list has room for every item, so the branch-free append never overflows.
  explicit PartnerCounter(std::uint32_t item_space)
      : counts_(std::make_unique<std::uint32_t[]>(item_space)),
        touched_(std::make_unique_for_overwrite<std::uint32_t[]>(std::size_t{item_space} + 1)) {}

  void add(std::uint32_t item) {
    const std::uint32_t c = counts_[item];
    touched_[n_touched_] = item;
    n_touched_ += (c == 0);
    counts_[item] = c + 1;
  }

  // Calls visit(item, count) in order of first touch and leaves every count at zero.
  template <class Visit>
  void drain(Visit&& visit) {
    for (std::uint32_t k = 0; k < n_touched_; ++k) {
      const std::uint32_t item = touched_[k];
      const std::uint32_t c = counts_[item];
      counts_[item] = 0;
      visit(item, c);
    }
    n_touched_ = 0;
  }

 private:
  std::unique_ptr<std::uint32_t[]> counts_;  // value-initialised: all zero
  std::unique_ptr<std::uint32_t[]> touched_;
  std::uint32_t n_touched_ = 0;
};

}  // namespace tallyfold
