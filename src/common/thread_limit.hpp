#pragma once
// Bounding one call's parallel work: every pool stage started inside `run` uses at most
// `threads` threads (the calling thread included), without touching other callers' pools.

#include <algorithm>
#include <cstdint>
#include <utility>

#include <tbb/task_arena.h>

namespace tallyfold {

// threads 0: the process-wide pool, as sized by the CPU affinity mask.
template <class Work>
void run_with_threads(std::uint32_t threads, Work&& work) {
  if (threads == 0) {
    work();
    return;
  }
  tbb::task_arena arena(static_cast<int>(std::min<std::uint32_t>(threads, 1u << 16)));
  arena.execute(std::forward<Work>(work));
}

}  // namespace tallyfold
