#pragma once
// Bounding one call's parallel work: every pool stage started inside `run` uses at most
// `threads` threads (the calling thread included), without touching other callers' pools.

#include <algorithm>
#include <cstdint>
#include <utility>

#include <tbb/task.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "common/cancel_relay.hpp"

namespace tallyfold {

// threads 0: the process-wide pool, as sized by the CPU affinity mask.
template <class Work>
void run_with_threads(std::uint32_t threads, Work&& work) {
  if (threads == 0) {
    work();
    return;
  }
  tbb::task_arena arena(static_cast<int>(std::min<std::uint32_t>(threads, 1u << 16)));
  // The arena's tasks would not see a cancellation of the caller's task group (Ctrl-C):
  // they run under a context linked to it.
  tbb::task_group_context inner(tbb::task_group_context::isolated);
  const LinkedCancellation link(tbb::task::current_context(), &inner);
  arena.execute([&] {
    tbb::task_group group(inner);
    group.run_and_wait([&] { work(); });
  });
}

}  // namespace tallyfold
