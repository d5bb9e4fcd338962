#pragma once
// The order in which the workers take Eclat's top-level items: heaviest first, except that
// at most one heavy item is mined at a time. A heavy item's projection and search state are
// the largest a worker holds, and every worker keeps what it held for the next item: two
// heavy items at once would add the second's to the peak memory. An item is heavy when it
// weighs a quarter of the heaviest one or more and at least a floor the caller sets: on
// sparse data whose most common item is in a few per cent of the transactions (T10I4D100K:
// 7.8 %), even the largest projections are small beside the index, and held to one at a time
// the heavy items ran on one worker for a third of the call while the other sat idle. A
// worker that may not start the next heavy item takes the lightest item left instead; once
// only heavy items are left, it stops and is free to help with the parts of a split
// subtree. Safe from many threads.

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tallyfold::eclat {

class ItemQueue {
 public:
  // `weights`: the items' weights (their transaction counts) in the order they are to be
  // taken, heaviest first; an item lighter than `heavy_floor` is never heavy.
  explicit ItemQueue(std::vector<std::size_t> weights, std::size_t heavy_floor = 0)
      : weights_(std::move(weights)), back_(weights_.size()) {
    if (!weights_.empty())
      heavy_from_ = std::max<std::size_t>({weights_.front() / 4, heavy_floor, 1});
  }

  // The position of the next item to mine, after the one just mined (if any); none when the
  // caller is to stop.
  std::optional<std::size_t> take(std::optional<std::size_t> done = std::nullopt) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (done && heavy(*done)) heavy_running_ = false;
    if (front_ == back_) return std::nullopt;
    if (!heavy(front_)) return front_++;
    if (!heavy_running_) {
      heavy_running_ = true;
      return front_++;
    }
    if (!heavy(back_ - 1)) return --back_;
    return std::nullopt;
  }

  // Whether the item at position k counts as heavy.
  bool heavy(std::size_t k) const { return weights_[k] >= heavy_from_; }

 private:
  std::vector<std::size_t> weights_;
  std::mutex mutex_;
  std::size_t front_ = 0, back_;
  std::size_t heavy_from_ = 1;
  bool heavy_running_ = false;
};

}  // namespace tallyfold::eclat
