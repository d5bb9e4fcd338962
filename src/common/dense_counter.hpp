#pragma once
// A counter per item id plus the list of items touched since the last reset. Counting an
// anchor's transactions touches few items of a large id space, so the reset walks the touched
// list instead of clearing the whole array.

#include <cstdint>
#include <vector>

namespace tallyfold {

class DenseCounter {
 public:
  explicit DenseCounter(std::uint32_t n_items) : counts_(n_items, 0) { touched_.reserve(256); }

  void add(std::uint32_t item) {
    std::uint32_t& c = counts_[item];
    if (c == 0) touched_.push_back(item);
    ++c;
  }

  // Items in order of first touch since the last reset.
  const std::vector<std::uint32_t>& touched() const { return touched_; }
  std::uint32_t count(std::uint32_t item) const { return counts_[item]; }

  // Calls visit(item, count) in order of first touch and leaves every counter at zero.
  template <class Visit>
  void drain(Visit&& visit) {
    for (std::uint32_t item : touched_) {
      const std::uint32_t c = counts_[item];
      counts_[item] = 0;
      visit(item, c);
    }
    touched_.clear();
  }

  std::size_t size() const { return counts_.size(); }

 private:
  // 32 bits suffice: a count never exceeds the number of transactions, which is below 2^32.
  std::vector<std::uint32_t> counts_;
  std::vector<std::uint32_t> touched_;
};

}  // namespace tallyfold
