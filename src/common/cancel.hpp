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

}  // namespace tallyfold
