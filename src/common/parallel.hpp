#pragma once
// Work splitting on the process-wide work-stealing pool. Every parallel stage cuts its input
// into consecutive chunks, gives each chunk its own partial result and combines the partials
// in chunk order, so results never depend on how many threads ran or which finished first.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "common/cancel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

// Threads of the pool that the calling thread would use (follows the CPU affinity mask).
inline std::size_t pool_threads() {
  return static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

struct IndexRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Whether n anchors, the a-th costing cost(a) steps of about 10 ns, are worth sharing with
// the pool: many of them, or a few that together cost more than waking it.
template <class CostFn>
bool worth_sharing(std::size_t n, CostFn cost) {
  if (n > tuning::kParallelAnchorMin) return true;
  if (n < 2) return false;
  double total = 0;
  for (std::size_t a = 0; a < n; ++a) {
    total += static_cast<double>(cost(a));
    if (total >= static_cast<double>(tuning::kParallelAnchorCostMin)) return true;
  }
  return false;
}

// Consecutive ranges covering [0, n) whose summed cost is about equal; `cost(i)` estimates
// the work of element i. Many more chunks than threads so that stealing evens out skew.
// With `may_cut`, a range that has reached its share still runs on until an element i with
// may_cut(i) starts the next, unless it has grown to `overrun` times its share: for elements
// that share work with their neighbours, which each range holding part of them pays again.
template <class CostFn, class MayCutFn>
std::vector<IndexRange> balanced_ranges(std::size_t n, std::size_t chunks_wanted, CostFn cost,
                                        MayCutFn may_cut, double overrun) {
  std::vector<IndexRange> ranges;
  if (n == 0) return ranges;
  double total = 0;
  for (std::size_t i = 0; i < n; ++i) total += static_cast<double>(cost(i)) + 1.0;
  const double target = total / static_cast<double>(std::max<std::size_t>(chunks_wanted, 1));
  double acc = 0;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > begin && acc >= target && (acc >= overrun * target || may_cut(i))) {
      ranges.push_back({begin, i});
      begin = i;
      acc = 0;
    }
    acc += static_cast<double>(cost(i)) + 1.0;
  }
  ranges.push_back({begin, n});
  return ranges;
}

template <class CostFn>
std::vector<IndexRange> balanced_ranges(std::size_t n, std::size_t chunks_wanted, CostFn cost) {
  return balanced_ranges(n, chunks_wanted, cost, [](std::size_t) { return true; }, 1.0);
}

// Equal-sized consecutive ranges of at least `min_size` elements covering [0, n).
inline std::vector<IndexRange> even_ranges(std::size_t n, std::size_t chunks_wanted,
                                           std::size_t min_size = 1) {
  std::vector<IndexRange> ranges;
  if (n == 0) return ranges;
  std::size_t size = std::max<std::size_t>({n / std::max<std::size_t>(chunks_wanted, 1),
                                            min_size, 1});
  for (std::size_t b = 0; b < n; b += size) ranges.push_back({b, std::min(n, b + size)});
  return ranges;
}

// Chunks of one linear pass over [0, n): a single range below `parallel_from` elements (the
// pass stays on the calling thread), else even chunks of at least `min_chunk` elements.
// Equal rows do not take equal time: a pass that writes a fresh buffer faults its pages in,
// and on a virtual machine one chunk's faults can take several times another's. With four
// chunks a thread, one thread faulted alone for 35 ms of a 160 ms index build of 10^7 rows.
inline std::vector<IndexRange> pass_chunks(std::size_t n, std::size_t parallel_from,
                                           std::size_t min_chunk) {
  if (n == 0) return {};
  if (n < parallel_from) return {{0, n}};
  return even_ranges(n, pool_threads() * tuning::kChunksPerThread, min_chunk);
}

// Runs `work(range, partial)` for every range on the pool, each with its own partial result,
// and returns the partials in range order. Throws Cancelled instead of returning partials
// of a cancelled call.
template <class Partial, class Work>
std::vector<Partial> map_ranges(const std::vector<IndexRange>& ranges, Work work) {
  std::vector<Partial> partials(ranges.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, ranges.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t c = r.begin(); c != r.end(); ++c) {
                        throw_if_cancelled();
                        work(ranges[c], partials[c]);
                      }
                    },
                    tbb::simple_partitioner());
  throw_if_cancelled();
  return partials;
}

// Runs `work(begin, end)` over consecutive pieces covering [0, n): on this thread below
// `parallel_from` elements, else on the pool, split further while threads run out of work
// (down to pieces of `grain`). Only for passes whose result does not depend on where [0, n) is
// cut (each thread adding into a table of its own, say): a thread is then never left alone
// with a large last piece, where ranges cut up front leave it about half a range.
template <class Work>
void for_each_piece(std::size_t n, std::size_t parallel_from, std::size_t grain, Work work) {
  if (n < parallel_from) {
    work(std::size_t{0}, n);
  } else {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, std::max<std::size_t>(grain, 1)),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        throw_if_cancelled();
                        work(r.begin(), r.end());
                      });
  }
  throw_if_cancelled();
}

// Runs `work(c, ranges[c])` for every range c, on the pool when there is more than one.
// Throws Cancelled once a cancelled call's ranges have stopped.
template <class Work>
void for_each_range(const std::vector<IndexRange>& ranges, Work work) {
  if (ranges.size() == 1) {
    work(std::size_t{0}, ranges[0]);
  } else {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, ranges.size(), 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t c = r.begin(); c != r.end(); ++c) {
                          throw_if_cancelled();
                          work(c, ranges[c]);
                        }
                      },
                      tbb::simple_partitioner());
  }
  throw_if_cancelled();
}

}  // namespace tallyfold
