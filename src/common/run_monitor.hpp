#pragma once
// What a long mining call has done so far, and the limits it must stay within. The engines
// add the rows they have produced at chunk boundaries (a top-level branch of the search, a
// subtree two levels deep, a level); a waiting thread reads the counters to show progress.
// Adding rows past a limit throws LimitReached on the adding thread, which stops the call
// like any other engine exception: a result is never cut short, the call fails.
//
// Every counter is a relaxed atomic: readers want a recent value, not a consistent snapshot,
// and one add per chunk costs nothing next to the chunk's own work.

#include <atomic>
#include <cstdint>
#include <exception>

namespace tallyfold {

enum class LimitKind { Itemsets, Memory };

// Thrown by RunMonitor::add_rows. Carries how far the call got when it stopped.
class LimitReached : public std::exception {
 public:
  LimitReached(LimitKind kind, std::uint64_t levels_done, std::uint64_t itemsets_found,
               std::uint64_t bytes_estimate)
      : kind(kind),
        levels_done(levels_done),
        itemsets_found(itemsets_found),
        bytes_estimate(bytes_estimate) {}
  const char* what() const noexcept override {
    return kind == LimitKind::Itemsets ? "the itemset limit was reached"
                                       : "the memory limit was reached";
  }
  LimitKind kind;
  std::uint64_t levels_done;
  std::uint64_t itemsets_found;
  std::uint64_t bytes_estimate;
};

class RunMonitor {
 public:
  // Limits of 0 mean none. The memory estimate of a run is base_bytes (its working data,
  // known up front) plus row_bytes per itemset and item_bytes per item of an itemset, the
  // cost of the result as the caller will hold it.
  struct Limits {
    std::uint64_t max_itemsets = 0;
    std::uint64_t max_bytes = 0;
    std::uint64_t base_bytes = 0;
    std::uint64_t row_bytes = 0;
    std::uint64_t item_bytes = 0;
  };

  RunMonitor() = default;
  explicit RunMonitor(const Limits& limits) : limits_(limits) {}
  RunMonitor(const RunMonitor&) = delete;
  RunMonitor& operator=(const RunMonitor&) = delete;

  // Engine side, any thread. Throws LimitReached when the rows take the run past a limit.
  void add_rows(std::uint64_t rows, std::uint64_t items) {
    const std::uint64_t found = itemsets_.fetch_add(rows, std::memory_order_relaxed) + rows;
    const std::uint64_t held = items_.fetch_add(items, std::memory_order_relaxed) + items;
    if (limits_.max_itemsets != 0 && found > limits_.max_itemsets)
      throw LimitReached(LimitKind::Itemsets, levels_done(), found, bytes_for(found, held));
    const std::uint64_t bytes = bytes_for(found, held);
    if (limits_.max_bytes != 0 && bytes > limits_.max_bytes)
      throw LimitReached(LimitKind::Memory, levels_done(), found, bytes);
  }
  // A check before any row exists: the working data alone may exceed the memory limit.
  void check_base() { add_rows(0, 0); }
  void set_units(std::uint64_t total) { units_total_.store(total, std::memory_order_relaxed); }
  void unit_done() { units_done_.fetch_add(1, std::memory_order_relaxed); }
  void level_done() { levels_.fetch_add(1, std::memory_order_relaxed); }

  // Reader side, any thread.
  std::uint64_t units_done() const { return units_done_.load(std::memory_order_relaxed); }
  std::uint64_t units_total() const { return units_total_.load(std::memory_order_relaxed); }
  std::uint64_t levels_done() const { return levels_.load(std::memory_order_relaxed); }
  std::uint64_t itemsets_found() const { return itemsets_.load(std::memory_order_relaxed); }

 private:
  std::uint64_t bytes_for(std::uint64_t rows, std::uint64_t items) const {
    return limits_.base_bytes + rows * limits_.row_bytes + items * limits_.item_bytes;
  }

  Limits limits_;
  std::atomic<std::uint64_t> units_done_{0};
  std::atomic<std::uint64_t> units_total_{0};
  std::atomic<std::uint64_t> levels_{0};
  std::atomic<std::uint64_t> itemsets_{0};
  std::atomic<std::uint64_t> items_{0};
};

}  // namespace tallyfold
