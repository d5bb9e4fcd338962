#pragma once
// Cancellation of a call's work. The boundary runs every engine inside a task group that it
// cancels when the interpreter reports a signal (Ctrl-C); engines notice it here, at chunk
// boundaries, and stop by throwing. Checking costs a call into the pool and a load, so it
// belongs between units of work (an anchor, a transaction block, a level), never per item.
//
// A parallel stage of a cancelled group returns early with part of its work undone: every
// stage is followed by throw_if_cancelled() so that a partial result is never used.

#include <cstddef>
#include <exception>

#include <tbb/task_group.h>

namespace tallyfold {

// Thrown by an engine that stops because its call was cancelled. The boundary discards the
// call's results and raises the interpreter's pending exception instead.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the call was cancelled"; }
};

// True once the task group that runs the current code is cancelled. Outside any task group
// (unit tests, direct engine calls) it is always false.
inline bool cancellation_requested() { return tbb::is_current_task_group_canceling(); }

inline void throw_if_cancelled() {
  if (cancellation_requested()) throw Cancelled();
}

// For long sequential loops whose steps are small (a row copied, a row hashed): looks once
// every 2^14 steps, a fraction of a millisecond apart.
inline void throw_if_cancelled_every(std::size_t step) {
  if ((step & 0x3FFF) == 0) throw_if_cancelled();
}

// Runs step(i) for every i in [begin, end), looking once before every 2^14 steps. The look
// sits outside the loop that runs the steps: a call inside it, however rarely taken, makes
// the loop keep its running values in memory across the call rather than in registers.
template <class Step>
inline void for_each_step(std::size_t begin, std::size_t end, Step&& step) {
  constexpr std::size_t kBlock = std::size_t{1} << 14;
  for (std::size_t block = begin; block < end;) {
    throw_if_cancelled();
    const std::size_t stop = end - block > kBlock ? block + kBlock : end;
    for (std::size_t i = block; i < stop; ++i) step(i);
    block = stop;
  }
}

}  // namespace tallyfold
